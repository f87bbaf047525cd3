#include <intrin.h>

#include "base/debug_break.h"

namespace nelko {

void DebugBreakHere() { __debugbreak(); }

}  // namespace nelko
