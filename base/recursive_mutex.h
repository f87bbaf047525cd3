#pragma once
// The program's recursive lock: spins briefly, then sleeps on the lock word.
// Used by the log ring, the command handler, the progress window and the
// symbol-engine lock.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace nelko {

class alignas(64) RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock();
  void unlock();

  // For tests and assertions: the thread id of the holder, 0 when free.
  uint32_t owner() const { return owner_.load(std::memory_order_relaxed); }

  static constexpr int kSpinPauses = 200;
  static constexpr uint32_t kSleepTimeoutMs = 0xFFFFFFFE;

 private:
  friend struct RecursiveMutexLayout;

  // 0 free, 1 held, 2 held with possible sleepers. Alone in its cache line so
  // that spinning on it does not disturb the fields next to it.
  std::atomic<uint32_t> word_{0};
  [[maybe_unused]] char padding_[64 - sizeof(std::atomic<uint32_t>)] = {};
  std::atomic<uint32_t> owner_{0};
  uint32_t recursion_ = 0;
};

struct RecursiveMutexLayout {
  static constexpr size_t kWordOffset = offsetof(RecursiveMutex, word_);
  static constexpr size_t kOwnerOffset = offsetof(RecursiveMutex, owner_);
};
static_assert(RecursiveMutexLayout::kWordOffset == 0, "the lock word opens the lock");
static_assert(RecursiveMutexLayout::kOwnerOffset == 64, "the lock word has its cache line to itself");
static_assert(sizeof(std::atomic<uint32_t>) == 4, "WaitOnAddress waits on a 4-byte word");

// Holds a RecursiveMutex for one scope.
class RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~RecursiveMutexLock() { mutex_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mutex_;
};

}  // namespace nelko
