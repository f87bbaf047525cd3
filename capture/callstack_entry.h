#pragma once
// One symbolised return address as the native stack walker reports it, and
// the text that the walker makes of it.
#include <cstddef>
#include <cstdint>
#include <string>

namespace nelko {

inline constexpr size_t kEntryTextSize = 2048;
inline constexpr size_t kPdbIdentifierSize = 41;

struct CallstackEntry {
  uint64_t address = 0;  // the return address, sign-extended from 32 bits on x86
  char name[kEntryTextSize] = {};
  char undecorated_name[kEntryTextSize] = {};
  char undecorated_full_name[kEntryTextSize] = {};
  uint64_t offset_from_symbol = 0;
  uint32_t offset_from_line = 0;
  uint32_t line_number = 0;
  char line_file_name[kEntryTextSize] = {};
  uint32_t symbol_type = 0;
  const char* symbol_type_text = "";
  char module_name[kEntryTextSize] = {};
  uint64_t image_base = 0;
  char loaded_image_name[kEntryTextSize] = {};
  int32_t managed = 0;
  char pdb_identifier[kPdbIdentifierSize] = {};
  char pdb_name[kEntryTextSize] = {};

  // Every field back to its empty state, then the address.
  void Reset(uint64_t new_address);
};

enum class CallstackEventType { kFirstEntry = 0, kNextEntry = 1, kLastEntry = 2 };

// Copies `text` into a fixed field, cut to fit with its terminator.
void CopyEntryText(char* field, size_t field_size, const char* text);

// The debug-information identity: the 16 signature bytes in the canonical
// order of a GUID as upper-case hex, then the age in lower-case hex.
std::string FormatPdbIdentifier(const uint8_t signature[16], uint32_t age);

// The symbol-type names of the module information ("" for unknown values).
const char* SymbolTypeText(uint32_t symbol_type);

// Fills the display name and module name as a frame line shows them and
// returns that line: the undecorated names win over the raw one,
// "(function-name not available)" and "(<unknown>)" stand in for what is
// missing.
std::string PrepareFrameLine(CallstackEntry& entry);

}  // namespace nelko
