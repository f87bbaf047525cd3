#include "base/recursive_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/wait_seam.h"

namespace nelko {
namespace {

TEST(RecursiveMutex, TheLockWordHasItsCacheLineToItself) {
  EXPECT_EQ(alignof(RecursiveMutex), 64u);
  EXPECT_EQ(RecursiveMutexLayout::kWordOffset, 0u);
  EXPECT_GE(RecursiveMutexLayout::kOwnerOffset, 64u);
}

TEST(RecursiveMutex, TheSameThreadLocksTwiceAndUnlocksTwice) {
  RecursiveMutex mutex;
  mutex.lock();
  mutex.lock();
  EXPECT_EQ(mutex.owner(), CurrentThreadId());
  mutex.unlock();
  EXPECT_EQ(mutex.owner(), CurrentThreadId()) << "one unlock must not release a lock taken twice";
  std::atomic<bool> other_got_it{false};
  std::thread other([&] {
    mutex.lock();
    other_got_it = true;
    mutex.unlock();
  });
  mutex.unlock();
  other.join();
  EXPECT_TRUE(other_got_it);
  EXPECT_EQ(mutex.owner(), 0u);
}

// Several threads increment a plain counter under the lock, some of them
// recursively; every increment must survive, which it would not if two
// threads ever held the lock at once. Long holds force the sleeping path.
TEST(RecursiveMutex, ExcludesOtherThreadsUnderContention) {
  RecursiveMutex mutex;
  long counter = 0;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  constexpr int kThreads = 6;
  constexpr int kRounds = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        RecursiveMutexLock outer(mutex);
        if (inside.fetch_add(1) != 0) overlap = true;
        if ((i + t) % 3 == 0) {
          RecursiveMutexLock inner(mutex);
          ++counter;
        } else {
          ++counter;
        }
        if (i % 500 == 0) std::this_thread::yield();
        inside.fetch_sub(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  EXPECT_EQ(mutex.owner(), 0u);
}

TEST(RecursiveMutex, ASleepingWaiterIsWokenWhenTheHolderLetsGo) {
  RecursiveMutex mutex;
  mutex.lock();
  std::atomic<bool> waiter_started{false};
  std::atomic<bool> waiter_done{false};
  std::thread waiter([&] {
    waiter_started = true;
    mutex.lock();
    waiter_done = true;
    mutex.unlock();
  });
  while (!waiter_started) std::this_thread::yield();
  // Long enough for the waiter to spend its 200 pauses and go to sleep.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(waiter_done);
  mutex.unlock();
  waiter.join();
  EXPECT_TRUE(waiter_done);
}

}  // namespace
}  // namespace nelko
