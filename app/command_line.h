#pragma once
// The argument vector of the entry point: flag removal and the command line
// of the upload-mode relaunch. Portable so that both are unit-tested natively.
#include <string>
#include <string_view>

namespace nelko {

// Removes every element after element 0 equal to `flag` (case-insensitive),
// keeping the order of the others. True when the flag was present.
bool RemoveFlag(const wchar_t* flag, int& count, wchar_t** vector);

// Case-insensitive equality as the C runtime's _wcsicmp has it in the C locale.
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);

// Each remaining element quoted and followed by a blank, then "--console "
// and "--wait-for-debugger " when the original command line contains those
// texts (a case-sensitive search of the whole line).
std::wstring BuildRelaunchCommandLine(int count, const wchar_t* const* vector, std::wstring_view original);

}  // namespace nelko
