#include "base/utf8_cut.h"

namespace nelko {
namespace {

// Length of the sequence a lead byte announces; 0 for a byte that cannot
// start one (a continuation byte or an invalid lead).
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::string_view CutUtf8(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  // Look back from the cut for the start of the character it falls in: at
  // most three continuation bytes can precede the byte at the cut.
  size_t start = max_bytes;
  while (start > 0 && max_bytes - start < 3 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  const size_t length = SequenceLength(static_cast<unsigned char>(text[start]));
  if (length > 1 && start + length > max_bytes) {
    // The sequence crosses the cut: drop it whole, but only if it is one
    // (its lead and continuation bytes are all in place).
    bool whole = start + length <= text.size();
    for (size_t i = start + 1; whole && i < start + length; ++i) {
      whole = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    }
    if (whole) return text.substr(0, start);
  }
  return text.substr(0, max_bytes);
}

}  // namespace nelko
