#pragma once

namespace nelko {

// A breakpoint trap, for entries that ask to stop in the debugger.
void DebugBreakHere();

}  // namespace nelko
