#pragma once
#include <cstdint>

namespace nelko {

// Upload mode: sends every cached report and removes what was sent.
// Positional arguments are ignored. Returns the process exit code.
int32_t RunUploadMode(int count, wchar_t** vector);

}  // namespace nelko
