#pragma once
// The command line of the upload-mode run that follows every attach session.
// Portable so that it is unit-tested natively.
#include <string>
#include <string_view>

namespace nelko {

// Each remaining element quoted and followed by a blank, then "--console "
// and "--wait-for-debugger " when the original command line contains those
// texts (a case-sensitive search of the whole line).
std::wstring BuildRelaunchCommandLine(int count, const wchar_t* const* vector, std::wstring_view original);

}  // namespace nelko
