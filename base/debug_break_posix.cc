#include <csignal>

#include "base/debug_break.h"

namespace nelko {

void DebugBreakHere() { std::raise(SIGTRAP); }

}  // namespace nelko
