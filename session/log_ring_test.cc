#include "session/log_ring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/utf8_cut.h"
#include "session/session_settings.h"

namespace nelko {
namespace {

std::vector<std::string> Messages(const LogRing& ring) {
  std::vector<std::string> out;
  for (const LogRecord& r : ring.Snapshot()) out.push_back(r.message);
  return out;
}

void AppendAll(LogRing& ring, std::initializer_list<const char*> messages) {
  uint64_t t = 0;
  for (const char* m : messages) ring.Append(m, ++t, 0, 0);
}

using Strings = std::vector<std::string>;

TEST(LogRing, KeepsNothingBeforeTheFirstResize) {
  LogRing ring;
  AppendAll(ring, {"A", "B"});
  EXPECT_EQ(ring.capacity(), 0u);
  EXPECT_TRUE(ring.Snapshot().empty());
}

TEST(LogRing, WrapsKeepingTheNewestOldestFirst) {
  LogRing ring;
  ring.Resize(3);
  AppendAll(ring, {"A", "B"});
  EXPECT_EQ(Messages(ring), (Strings{"A", "B"}));
  AppendAll(ring, {"C", "D", "E"});
  EXPECT_EQ(Messages(ring), (Strings{"C", "D", "E"}));
}

TEST(LogRing, CapacityIsAtMostFiftyAndRepeatingTheRequestChangesNothing) {
  LogRing ring;
  ring.Resize(200);
  EXPECT_EQ(ring.capacity(), kMaxLogRingCapacity);
  for (int i = 0; i < 60; ++i) ring.Append(std::to_string(i), i, 0, 0);
  const Strings before = Messages(ring);
  ASSERT_EQ(before.size(), 50u);
  EXPECT_EQ(before.front(), "10");
  ring.Resize(200);
  EXPECT_EQ(Messages(ring), before);
  ring.Append("60", 60, 0, 0);
  EXPECT_EQ(Messages(ring).front(), "11");
}

TEST(LogRing, ShrinkingKeepsTheNewestAndTheNextRecordReplacesTheOldest) {
  LogRing ring;
  ring.Resize(5);
  AppendAll(ring, {"A", "B", "C", "D", "E"});
  ring.Resize(2);
  EXPECT_EQ(Messages(ring), (Strings{"D", "E"}));
  AppendAll(ring, {"F"});
  EXPECT_EQ(Messages(ring), (Strings{"E", "F"}));
}

TEST(LogRing, ShrinkingAPartlyFilledRingThatStillFitsKeepsEverything) {
  LogRing ring;
  ring.Resize(10);
  AppendAll(ring, {"A", "B"});
  ring.Resize(4);
  AppendAll(ring, {"C", "D", "E"});
  EXPECT_EQ(Messages(ring), (Strings{"B", "C", "D", "E"}));
}

TEST(LogRing, GrowingKeepsTheRecordsAndAppendsAfterThem) {
  LogRing ring;
  ring.Resize(3);
  AppendAll(ring, {"A", "B", "C", "D", "E"});
  ring.Resize(10);
  EXPECT_EQ(Messages(ring), (Strings{"C", "D", "E"}));
  AppendAll(ring, {"F"});
  EXPECT_EQ(Messages(ring), (Strings{"C", "D", "E", "F"}));
}

TEST(LogRing, ResizingToZeroDropsEverythingAndKeepsNothingAfter) {
  LogRing ring;
  ring.Resize(3);
  AppendAll(ring, {"A", "B"});
  ring.Resize(0);
  AppendAll(ring, {"C"});
  EXPECT_TRUE(ring.Snapshot().empty());
  ring.Resize(2);
  AppendAll(ring, {"D"});
  EXPECT_EQ(Messages(ring), (Strings{"D"}));
}

TEST(LogRing, StoresEveryFieldOfTheRecord) {
  LogRing ring;
  ring.Resize(1);
  ring.Append("hello", 18446744073709551615ull, 2147483647, 4464);
  const std::vector<LogRecord> records = ring.Snapshot();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], (LogRecord{"hello", 18446744073709551615ull, 2147483647, 4464}));
}

TEST(LogRing, CutsALongMessageToItsFirst1024Bytes) {
  LogRing ring;
  ring.Resize(1);
  const std::string long_message(2000, 'x');
  ring.Append(long_message, 0, 0, 0);
  EXPECT_EQ(ring.Snapshot()[0].message, std::string(1024, 'x'));
}

TEST(LogRing, NeverSplitsACharacterWhenCutting) {
  LogRing ring;
  ring.Resize(1);
  // 1023 ASCII bytes and a 3-byte character that would cross the limit.
  const std::string message = std::string(1023, 'a') + "\xE2\x82\xAC" + "tail";
  ring.Append(message, 0, 0, 0);
  EXPECT_EQ(ring.Snapshot()[0].message, std::string(1023, 'a'));
}

TEST(Utf8Cut, CutsAtTheLastWholeCharacter) {
  EXPECT_EQ(CutUtf8("abc", 5), "abc");
  EXPECT_EQ(CutUtf8("abcdef", 3), "abc");
  // "é" is C3 A9: a limit that falls between its two bytes drops it.
  EXPECT_EQ(CutUtf8("a\xC3\xA9z", 2), "a");
  EXPECT_EQ(CutUtf8("a\xC3\xA9z", 3), "a\xC3\xA9");
  // A 4-byte character cut after one, two or three of its bytes.
  const std::string clef = "x\xF0\x9D\x84\x9Ey";
  EXPECT_EQ(CutUtf8(clef, 2), "x");
  EXPECT_EQ(CutUtf8(clef, 3), "x");
  EXPECT_EQ(CutUtf8(clef, 4), "x");
  EXPECT_EQ(CutUtf8(clef, 5), "x\xF0\x9D\x84\x9E");
  EXPECT_EQ(CutUtf8("\xC3\xA9", 0), "");
}

TEST(Utf8Cut, CutsInvalidBytesByteForByte) {
  // Stray continuation bytes and a lead without its continuations are not
  // characters to keep whole: the plain byte limit applies.
  EXPECT_EQ(CutUtf8("ab\x80\x80\x80\x80\x80", 4), "ab\x80\x80");
  EXPECT_EQ(CutUtf8("a\xE2zz", 2), "a\xE2");
  EXPECT_EQ(CutUtf8("a\xFF\xFF", 2), "a\xFF");
}

TEST(SessionSettings, StartsWithItsDefaults) {
  SessionSettings s;
  EXPECT_TRUE(s.metadata.empty());
  EXPECT_TRUE(s.attached_files.empty());
  EXPECT_EQ(s.bug_reporter_command, "");
  EXPECT_EQ(s.crash_report_path, "");
  EXPECT_EQ(s.app_name, "<unknown>");
  EXPECT_EQ(s.vendor, "");
  EXPECT_EQ(s.info, "<not set>");
  EXPECT_EQ(s.mono_path, "");
  EXPECT_EQ(s.analytics_crash_file_path, "");
  EXPECT_TRUE(s.show_dialog);
  EXPECT_FALSE(s.is_editor);
  EXPECT_TRUE(s.user_metadata.empty());
  EXPECT_EQ(s.log_ring.capacity(), 0u);
}

TEST(SessionSettings, MapsOrderKeysByUnsignedBytesShorterPrefixFirst) {
  TextMap map;
  for (const char* key : {"b", "\xC3\xA9", "ab", "a", "B", ""}) map[key] = "v";
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9"}));
}

}  // namespace
}  // namespace nelko
