#pragma once
#include <cstdint>

namespace nelko {

// The whole life of the handler process: registrations, COM, error mode,
// flags, the chosen mode, the upload-mode relaunch, shut-down. Returns the
// process exit code.
int32_t HandlerMain();

}  // namespace nelko
