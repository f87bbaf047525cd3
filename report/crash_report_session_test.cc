#include <gtest/gtest.h>

#include "report/crash_report.h"
#include "session/session_settings.h"

namespace nelko {
namespace {

std::unique_ptr<CrashReport> FromReportJson(const std::string& text) {
  SessionSettings settings;
  settings.metadata["ReportJson"] = text;
  return CreateReportFromSession(settings);
}

// The text of a report with its generated fields pinned, for comparing
// everything else.
std::string Pinned(CrashReport report) {
  report.client_report_id = "ID";
  report.client_ts = 0;
  return report.ToJson();
}

TEST(CreateReportFromSession, NoReportWithoutReportJson) {
  SessionSettings settings;
  EXPECT_EQ(CreateReportFromSession(settings), nullptr);
  settings.metadata["ReportJson"] = "";
  EXPECT_EQ(CreateReportFromSession(settings), nullptr);
  // The user metadata map is a different map.
  settings.metadata.clear();
  settings.user_metadata["ReportJson"] = "{}";
  EXPECT_EQ(CreateReportFromSession(settings), nullptr);
}

TEST(CreateReportFromSession, ImportedKeysOverwriteAndOthersKeepDefaults) {
  const uint64_t before = CurrentReportTime();
  auto report = FromReportJson(R"({"appid":"abc","counter":7})");
  const uint64_t after = CurrentReportTime();
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->appid, "abc");
  EXPECT_EQ(report->counter, 7u);
  EXPECT_EQ(report->client_report_id.size(), 32u);
  EXPECT_GE(report->client_ts, before);
  EXPECT_LE(report->client_ts, after);

  CrashReport expected;
  expected.appid = "abc";
  expected.counter = 7;
  EXPECT_EQ(Pinned(*report), Pinned(expected));
}

TEST(CreateReportFromSession, TextThatIsNoObjectGivesAllDefaults) {
  for (const char* text : {"[1,2]", "{", R"({"appid":"x"} 5)", "null"}) {
    auto report = FromReportJson(text);
    ASSERT_NE(report, nullptr) << text;
    EXPECT_EQ(report->counter, 1u) << text;
    EXPECT_EQ(Pinned(*report), Pinned(CrashReport{})) << text;
  }
}

TEST(CreateReportFromSession, ImportedIdReplacesTheGeneratedOne) {
  auto report = FromReportJson(R"({"client_report_id":"engine-id","client_ts":5})");
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->client_report_id, "engine-id");
  EXPECT_NE(report->client_ts, 5u);  // the handler's own time wins
}

TEST(CreateReportFromSession, EngineTextCannotBringInCrashDataOrLists) {
  SessionSettings settings;
  settings.metadata["ReportJson"] =
      R"({"native_crash":{"threads":[{}]},"managed_exception":{"type":"T"},"is_editor":true,)"
      R"("log_messages":[{"message":"old"}],"user_metadata":[{"key":"k","value":"v"}]})";
  auto report = CreateReportFromSession(settings);
  ASSERT_NE(report, nullptr);
  EXPECT_FALSE(report->hasNativeCrash);
  EXPECT_FALSE(report->hasManagedException);
  EXPECT_TRUE(report->native_crash.threads().empty());
  EXPECT_TRUE(report->managed_exception.type.empty());
  EXPECT_FALSE(report->is_editor);  // the session's flag, not the engine's text
  EXPECT_TRUE(report->log_messages.empty());
  EXPECT_TRUE(report->user_metadata.empty());
}

TEST(CreateReportFromSession, TakesEditorFlagLogRingAndUserMetadata) {
  SessionSettings settings;
  settings.metadata["ReportJson"] = "{}";
  settings.is_editor = true;
  settings.log_ring.Resize(2);
  settings.log_ring.Append("A", 1, 10, 0);
  settings.log_ring.Append("B", 2, -1, 0xFFFF);
  settings.log_ring.Append("C", 3, 30, 3);
  settings.user_metadata["z"] = "last ascii";
  settings.user_metadata["\xC3\xA9"] = "above ascii";
  settings.user_metadata["A"] = "first";

  auto report = CreateReportFromSession(settings);
  ASSERT_NE(report, nullptr);
  EXPECT_TRUE(report->is_editor);
  ASSERT_EQ(report->log_messages.size(), 2u);  // oldest first
  EXPECT_EQ(report->log_messages[0].message, "B");
  EXPECT_EQ(report->log_messages[0].type, -1);
  EXPECT_EQ(report->log_messages[0].frame, 4294967295u);
  EXPECT_EQ(report->log_messages[1].message, "C");
  EXPECT_EQ(report->log_messages[1].ts, 3u);

  ASSERT_EQ(report->user_metadata.size(), 3u);
  EXPECT_EQ(report->user_metadata[0].key, "A");
  EXPECT_EQ(report->user_metadata[1].key, "z");
  EXPECT_EQ(report->user_metadata[2].key, "\xC3\xA9");
  EXPECT_NE(report->ToJson().find(R"("type":-1})"), std::string::npos);
}

}  // namespace
}  // namespace nelko
