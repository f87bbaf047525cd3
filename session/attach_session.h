#pragma once
#include <cstdint>

namespace nelko {

// Watches one engine process for its whole life (`--attach <pid> <address>`).
// `count` and `vector` are the arguments after the general flags were
// removed; the session may remove further flags of its own. Returns the
// session result: 0 or more after a normal end, -900 to -891 on errors.
int32_t RunAttachSession(int& count, wchar_t** vector);

}  // namespace nelko
