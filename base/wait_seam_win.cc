#include "base/wait_seam.h"

#include <windows.h>

namespace nelko {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(DWORD), "the word is what WaitOnAddress compares");

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, uint32_t timeout_ms) {
  WaitOnAddress(word, &expected, sizeof(expected), timeout_ms);
}

void WakeOneOnWord(std::atomic<uint32_t>* word) { WakeByAddressSingle(word); }

}  // namespace nelko
