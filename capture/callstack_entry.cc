#include "capture/callstack_entry.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace nelko {

void CallstackEntry::Reset(uint64_t new_address) {
  *this = CallstackEntry{};
  address = new_address;
}

void CopyEntryText(char* field, size_t field_size, const char* text) {
  if (field_size == 0) return;
  const size_t n = std::min(std::strlen(text), field_size - 1);
  std::memmove(field, text, n);
  field[n] = '\0';
}

std::string FormatPdbIdentifier(const uint8_t signature[16], uint32_t age) {
  // The signature is a GUID stored little-endian: Data1 (4 bytes), Data2 and
  // Data3 (2 bytes each), then Data4 (8 bytes) in order.
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  char text[kPdbIdentifierSize] = {};  // 32 digits and up to 8 for the age
  int used = 0;
  for (int i : kOrder) {
    used += std::snprintf(text + used, sizeof(text) - used, "%02X", static_cast<unsigned>(signature[i]));
  }
  std::snprintf(text + used, sizeof(text) - used, "%x", static_cast<unsigned>(age));
  return text;
}

const char* SymbolTypeText(uint32_t symbol_type) {
  static const char* const kTexts[] = {"-nosymbols-", "COFF", "CV",  "PDB",    "-exported-",
                                       "-deferred-",  "SYM",  "DIA", "Virtual"};
  return symbol_type < sizeof(kTexts) / sizeof(kTexts[0]) ? kTexts[symbol_type] : "";
}

namespace {

// A walker line: at most 2047 characters, longer text is cut.
std::string FormatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatLine(const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  return line;
}

}  // namespace

std::string PrepareFrameLine(CallstackEntry& entry) {
  if (entry.name[0] == '\0') CopyEntryText(entry.name, kEntryTextSize, "(function-name not available)");
  if (entry.undecorated_name[0] != '\0') CopyEntryText(entry.name, kEntryTextSize, entry.undecorated_name);
  if (entry.undecorated_full_name[0] != '\0') {
    CopyEntryText(entry.name, kEntryTextSize, entry.undecorated_full_name);
  }
  if (entry.module_name[0] == '\0') CopyEntryText(entry.module_name, kEntryTextSize, "(<unknown>)");
  // As a pointer of the running build prints: the low half on x86.
  const uint64_t shown = sizeof(void*) == 4 ? static_cast<uint32_t>(entry.address) : entry.address;
  const int width = static_cast<int>(sizeof(void*) * 2);
  if (entry.line_file_name[0] != '\0') {
    return FormatLine("0x%0*" PRIX64 " (%s) [%s:%" PRIu32 "] %s \n", width, shown, entry.module_name,
                      entry.line_file_name, entry.line_number, entry.name);
  }
  return FormatLine("0x%0*" PRIX64 " (%s) %s\n", width, shown, entry.module_name, entry.name);
}

}  // namespace nelko
