#pragma once
#include <cstdint>

namespace nelko {

// Upload mode: sends every cached report and removes what was sent, unless
// "--no-delete" (any case) is among the arguments, which it takes out of the
// vector. Other arguments are ignored. Prints one line per report and
// returns the process exit code, always 0.
int32_t RunUploadMode(int count, wchar_t** vector);

}  // namespace nelko
