#pragma once
// Flags in the argument vector of the entry point and of the modes.
#include <string_view>

namespace nelko {

// Removes every element after element 0 equal to `flag` (case-insensitive),
// keeping the order of the others. True when the flag was present.
bool RemoveFlag(const wchar_t* flag, int& count, wchar_t** vector);

// Case-insensitive equality as the C runtime's _wcsicmp has it in the C locale.
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);

}  // namespace nelko
