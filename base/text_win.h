#pragma once
// UTF-8 <-> UTF-16 through the system's code-page functions.
#include <string>
#include <string_view>

namespace nelko {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

}  // namespace nelko
