#include "base/decimal_parse.h"

namespace nelko {
namespace {

template <typename Char, typename Unsigned>
bool ParseDigits(const Char* text, Unsigned limit, Unsigned* value) {
  if (text == nullptr) return false;
  Unsigned result = 0;
  for (; *text != 0; ++text) {
    if (*text < '0' || *text > '9') return false;
    const Unsigned digit = static_cast<Unsigned>(*text - '0');
    if (result > limit / 10) return false;
    result *= 10;
    if (result > limit - digit) return false;
    result += digit;
  }
  *value = result;
  return true;
}

}  // namespace

bool ParseDecimalU32(const char* text, uint32_t* value) {
  return ParseDigits<char, uint32_t>(text, UINT32_MAX, value);
}

bool ParseDecimalU32(const wchar_t* text, uint32_t* value) {
  return ParseDigits<wchar_t, uint32_t>(text, UINT32_MAX, value);
}

bool ParseDecimalU64(const char* text, uint64_t* value) {
  return ParseDigits<char, uint64_t>(text, UINT64_MAX, value);
}

bool ParseDecimalI32(const char* text, int32_t* value) {
  uint32_t parsed = 0;
  if (!ParseDigits<char, uint32_t>(text, INT32_MAX, &parsed)) return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

}  // namespace nelko
