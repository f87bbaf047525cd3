#include "park_step_win.h"

#include <windows.h>

#include <cstdio>

namespace test_engine {

namespace {

// The chains library asks for this base when it is linked.
constexpr uintptr_t kChainsPreferredBase = 0x3F000000;

}  // namespace

bool ParkThreads(int chains, int depth, bool rebase) {
  if (rebase) {
    // Holding the preferred range makes the loader relocate the library.
    VirtualAlloc(reinterpret_cast<void*>(kChainsPreferredBase), 0x100000, MEM_RESERVE, PAGE_NOACCESS);
  }
  HMODULE chains_library = LoadLibraryW(L"test_engine_chains.dll");
  if (chains_library == nullptr) {
    std::printf("engine: chains library not loaded (%lu)\n", GetLastError());
    return false;
  }
  using ParkFn = int (*)(int, int);
  auto park =
      reinterpret_cast<ParkFn>(reinterpret_cast<void*>(GetProcAddress(chains_library, "ParkThreads")));
  return park != nullptr && park(chains, depth) > 0;
}

bool ParkVariedThreads(int count, int min_depth, int max_depth) {
  HMODULE chains_library = LoadLibraryW(L"test_engine_chains.dll");
  if (chains_library == nullptr) {
    std::printf("engine: chains library not loaded (%lu)\n", GetLastError());
    return false;
  }
  using ParkFn = int (*)(int, int, int);
  auto park =
      reinterpret_cast<ParkFn>(reinterpret_cast<void*>(GetProcAddress(chains_library, "ParkVariedChains")));
  return park != nullptr && park(count, min_depth, max_depth) > 0;
}

uintptr_t ParkedManagedContext() {
  HMODULE chains_library = GetModuleHandleW(L"test_engine_chains.dll");
  if (chains_library == nullptr) return 0;
  using ContextFn = uintptr_t (*)();
  auto context =
      reinterpret_cast<ContextFn>(reinterpret_cast<void*>(GetProcAddress(chains_library, "ManagedContext")));
  return context != nullptr ? context() : 0;
}

}  // namespace test_engine
