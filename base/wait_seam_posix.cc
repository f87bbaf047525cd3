// The native stand-in for the Windows wait primitives, so that the locks
// built on them run in the native tests too. Windows has wait_seam_win.cc.
#include "base/wait_seam.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace nelko {
namespace {

// One parking place for all words: waits are rare (only after 200 pauses),
// so a shared condition is enough.
std::mutex g_park_mutex;
std::condition_variable g_park;

}  // namespace

uint32_t CurrentThreadId() {
  static std::atomic<uint32_t> next{1};
  thread_local const uint32_t id = next.fetch_add(1);
  return id;
}

void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(g_park_mutex);
  g_park.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                  [&] { return word->load(std::memory_order_acquire) != expected; });
}

void WakeOneOnWord(std::atomic<uint32_t>* /*word*/) {
  // Every sleeper re-checks its own word, so waking all of them is safe;
  // taking the mutex first means no sleeper misses the change.
  { std::lock_guard<std::mutex> lock(g_park_mutex); }
  g_park.notify_all();
}

}  // namespace nelko
