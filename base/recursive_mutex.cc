#include "base/recursive_mutex.h"

#include "base/wait_seam.h"

namespace nelko {
namespace {

inline void CpuPause() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

void RecursiveMutex::lock() {
  const uint32_t self = CurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++recursion_;
    return;
  }

  // Spin a little first: the holders keep the lock for a few instructions.
  bool taken = false;
  int pauses = 0;
  while (!taken && pauses < kSpinPauses) {
    uint32_t seen = word_.load(std::memory_order_relaxed);
    if (seen == 0) {
      uint32_t expected = 0;
      taken =
          word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
      continue;
    }
    while (pauses < kSpinPauses && word_.load(std::memory_order_relaxed) == seen) {
      CpuPause();
      ++pauses;
    }
  }

  if (!taken) {
    // The holder cannot be this thread here (it would have returned above),
    // but the second test keeps the lock sound should the owner ever be
    // recorded late.
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++recursion_;
      return;
    }
    // Announce ourselves: 0 -> 1 takes the lock, 1 -> 2 marks a sleeper.
    uint32_t guess = 0;
    for (;;) {
      if (word_.compare_exchange_strong(guess, guess + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
        taken = guess == 0;
        break;
      }
      if (guess == 2) break;
    }
    while (!taken) {
      WaitOnWord(&word_, 2, kSleepTimeoutMs);
      taken = word_.exchange(2, std::memory_order_acquire) == 0;
    }
  }
  owner_.store(self, std::memory_order_relaxed);
}

void RecursiveMutex::unlock() {
  if (recursion_ > 0) {
    --recursion_;
    return;
  }
  owner_.store(0, std::memory_order_relaxed);
  if (word_.exchange(0, std::memory_order_release) == 2) WakeOneOnWord(&word_);
}

}  // namespace nelko
