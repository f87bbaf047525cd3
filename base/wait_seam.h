#pragma once
// The few thread primitives the portable locks need: the current thread's id
// and a wait on a 32-bit word. Windows uses WaitOnAddress and
// WakeByAddressSingle; the native build has a stand-in so that the locks are
// tested there as well.
#include <atomic>
#include <cstdint>

namespace nelko {

// Id of the calling thread, never 0.
uint32_t CurrentThreadId();

// Sleeps while `*word` equals `expected`, or until woken or `timeout_ms`
// has passed; may return early (callers re-check the word).
void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, uint32_t timeout_ms);

// Wakes one thread sleeping in WaitOnWord on `word`.
void WakeOneOnWord(std::atomic<uint32_t>* word);

}  // namespace nelko
