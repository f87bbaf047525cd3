#pragma once
// Cutting UTF-8 text to a byte limit without splitting a character.
#include <cstddef>
#include <string_view>

namespace nelko {

// The longest prefix of `text` of at most `max_bytes` bytes that does not end
// inside a multi-byte UTF-8 sequence. Text that already fits is returned
// whole, even when it is not valid UTF-8; bytes that do not form a valid
// sequence at the cut are treated as single characters.
std::string_view CutUtf8(std::string_view text, size_t max_bytes);

}  // namespace nelko
