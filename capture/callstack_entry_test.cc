// The walker's texts: the debug-information identity, the symbol-type names
// and the frame line with its stand-ins.
#include "capture/callstack_entry.h"

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace nelko {
namespace {

// {12345678-9ABC-DEF0-0102-030405060708} as a GUID lies in memory.
constexpr uint8_t kSignature[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                                    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

TEST(PdbIdentifierTest, TheSignatureReadsInGuidOrderFollowedByTheAgeInLowerCaseHex) {
  EXPECT_EQ(FormatPdbIdentifier(kSignature, 42),
            "123456789ABCDEF00102030405060708"
            "2a");
  EXPECT_EQ(FormatPdbIdentifier(kSignature, 1), "123456789ABCDEF001020304050607081");
  EXPECT_EQ(FormatPdbIdentifier(kSignature, 0), "123456789ABCDEF001020304050607080");
}

TEST(PdbIdentifierTest, TheLargestAgeKeepsAllItsDigitsAndFitsTheEntryField) {
  const std::string id = FormatPdbIdentifier(kSignature, 0xFFFFFFFFu);
  EXPECT_EQ(id, "123456789ABCDEF00102030405060708ffffffff");
  EXPECT_LT(id.size(), kPdbIdentifierSize);
}

TEST(PdbIdentifierTest, HexDigitsAreUpperCaseWithLeadingZerosKept) {
  uint8_t signature[16] = {};
  signature[0] = 0x0A;
  signature[15] = 0xFF;
  EXPECT_EQ(FormatPdbIdentifier(signature, 0xABC), "0000000A0000000000000000000000FFabc");
}

TEST(SymbolTypeTextTest, EveryKnownTypeHasItsNameAndOthersNone) {
  const char* expected[] = {"-nosymbols-", "COFF", "CV",  "PDB",    "-exported-",
                            "-deferred-",  "SYM",  "DIA", "Virtual"};
  for (uint32_t i = 0; i < 9; ++i) EXPECT_STREQ(SymbolTypeText(i), expected[i]);
  EXPECT_STREQ(SymbolTypeText(9), "");
  EXPECT_STREQ(SymbolTypeText(0xFFFFFFFF), "");
}

TEST(FrameLineTest, AFrameWithoutSymbolOrModuleGetsTheStandIns) {
  auto entry = std::make_unique<CallstackEntry>();
  entry->Reset(0x1234);
  const std::string line = PrepareFrameLine(*entry);
  EXPECT_STREQ(entry->name, "(function-name not available)");
  EXPECT_STREQ(entry->module_name, "(<unknown>)");
  EXPECT_NE(line.find("1234 ((<unknown>)) (function-name not available)\n"), std::string::npos) << line;
  EXPECT_EQ(line.rfind("0x", 0), 0u);
}

TEST(FrameLineTest, TheFullUndecoratedNameWinsOverTheShortOneAndTheRawOne) {
  auto entry = std::make_unique<CallstackEntry>();
  entry->Reset(0x401000);
  CopyEntryText(entry->name, kEntryTextSize, "?Run@Game@@QAEXXZ");
  CopyEntryText(entry->undecorated_name, kEntryTextSize, "Game::Run");
  CopyEntryText(entry->module_name, kEntryTextSize, "game");
  PrepareFrameLine(*entry);
  EXPECT_STREQ(entry->name, "Game::Run");
  CopyEntryText(entry->undecorated_full_name, kEntryTextSize, "public: void __thiscall Game::Run(void)");
  const std::string line = PrepareFrameLine(*entry);
  EXPECT_STREQ(entry->name, "public: void __thiscall Game::Run(void)");
  EXPECT_NE(line.find(" (game) public: void __thiscall Game::Run(void)\n"), std::string::npos) << line;
}

TEST(FrameLineTest, ALineFileGivesTheFileAndLineForm) {
  auto entry = std::make_unique<CallstackEntry>();
  entry->Reset(0x401000);
  CopyEntryText(entry->name, kEntryTextSize, "Main");
  CopyEntryText(entry->module_name, kEntryTextSize, "game");
  CopyEntryText(entry->line_file_name, kEntryTextSize, "C:\\src\\main.cc");
  entry->line_number = 17;
  const std::string line = PrepareFrameLine(*entry);
  EXPECT_NE(line.find("401000 (game) [C:\\src\\main.cc:17] Main \n"), std::string::npos) << line;
}

TEST(CallstackEntryTest, ResetClearsEveryFieldAndKeepsTheNewAddress) {
  auto entry = std::make_unique<CallstackEntry>();
  CopyEntryText(entry->name, kEntryTextSize, "x");
  CopyEntryText(entry->module_name, kEntryTextSize, "m");
  entry->image_base = 5;
  entry->managed = 1;
  CopyEntryText(entry->pdb_identifier, kPdbIdentifierSize, "ABC");
  entry->Reset(0xFFFFFFFF80000000ull);
  EXPECT_EQ(entry->address, 0xFFFFFFFF80000000ull);
  EXPECT_STREQ(entry->name, "");
  EXPECT_STREQ(entry->module_name, "");
  EXPECT_EQ(entry->image_base, 0u);
  EXPECT_EQ(entry->managed, 0);
  EXPECT_STREQ(entry->pdb_identifier, "");
}

TEST(CallstackEntryTest, TextLongerThanItsFieldIsCutWithItsTerminator) {
  char field[8];
  CopyEntryText(field, sizeof(field), "0123456789");
  EXPECT_STREQ(field, "0123456");
}

}  // namespace
}  // namespace nelko
