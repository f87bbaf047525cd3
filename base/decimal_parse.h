#pragma once
// Strict decimal parsers for the numbers of the command line and the command
// channel: digits '0'..'9' only (no sign, blank or prefix), the empty text is
// 0, a value beyond the range is rejected before it wraps. A null text fails.
#include <cstdint>

namespace nelko {

bool ParseDecimalU32(const char* text, uint32_t* value);
bool ParseDecimalU32(const wchar_t* text, uint32_t* value);
bool ParseDecimalU64(const char* text, uint64_t* value);
// Range 0 .. 2147483647: no negative numbers.
bool ParseDecimalI32(const char* text, int32_t* value);

}  // namespace nelko
