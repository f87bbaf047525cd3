#pragma once
// A breakpoint trap, for entries that ask to stop in the debugger.
#if defined(_WIN32)
#include <intrin.h>
#else
#include <csignal>
#endif

namespace nelko {

inline void DebugBreakHere() {
#if defined(_WIN32)
  __debugbreak();
#else
  std::raise(SIGTRAP);
#endif
}

}  // namespace nelko
