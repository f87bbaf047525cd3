// The whole path end to end: the test engine crashes, the real handler
// captures and caches the report, ends its session, starts itself again in
// upload mode, and the local collector receives the report.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <windows.h>
#include <zlib.h>

#include <set>
#include <string>

#include "base/text_win.h"
#include "capture/capture_test_files_win.h"
#include "report/report_cache_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/gunzip.h"
#include "tests/support/time_scale.h"
#include "upload/collector_test_win.h"

namespace nelko {
namespace {

constexpr DWORD kLongWait = 90000;
constexpr uint32_t kAccessViolation = 0xC0000005u;
// The upload-mode run is a process nobody waits for: its arrival is polled.
constexpr DWORD kUploadWait = 60000;

template <class Condition>
bool PollFor(DWORD timeout_ms, Condition condition) {
  for (DWORD waited = 0;; waited += 250) {
    if (condition()) return true;
    if (waited >= test::Scaled(timeout_ms)) return false;
    Sleep(250);
  }
}

std::string Member(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject() || !object.HasMember(name) || !object[name].IsString()) return "<missing>";
  return object[name].GetString();
}

// Runs as a Windows user of its own (ctest sets USER), so the report cache
// holds only this test's reports and the relaunched upload finds just them.
class CrashUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!test::UseOwnReportCache(L"nelko_upload_", &cache_, &why)) GTEST_SKIP() << why;
    test::RemoveReportCache(cache_);
  }
  void TearDown() override {
    if (!cache_.empty()) test::RemoveReportCache(cache_);
  }
  std::wstring cache_;
};

TEST_F(CrashUpload, AFatalCrashIsCapturedCachedAndUploadedByTheRelaunchedHandler) {
  const std::string project = test::UniqueProjectId("status-201-crash-");
  test::TempFolder crashes(L"crash-upload");
  const std::wstring report_json =
      L"{\\\"appid\\\":\\\"" + Utf8ToWide(project) +
      L"\\\",\\\"version\\\":\\\"1.4.2\\\",\\\"platform\\\":\\\"WindowsPlayer\\\"}";
  // Everything before the user metadata "ready" is applied once the handler
  // echoes it; only then does the engine crash.
  const std::wstring line = test::Quote(test::SiblingPath(L"test_engine.exe")) +
                            L" send SetCrashReportPath 1 " + test::Quote(crashes.path()) +
                            L" send SetMetaData 2 ReportJson \"" + report_json + L"\"" +
                            L" send SetLogBufferSize 1 16 send SetUserMetaData 2 level Forest logs 5 send "
                            L"SetUserMetaData 2 ready yes" +
                            L" await park 4 0 0 fault 1 90000";
  test::ChildProcess engine;
  ASSERT_TRUE(engine.Start(line, /*in_job=*/true));
  ASSERT_TRUE(engine.WaitForOutput("'ready'", kLongWait)) << engine.OutputSoFar();
  ASSERT_TRUE(engine.WriteInput("g"));

  // The engine ends with its exception once the handler answered.
  ASSERT_TRUE(engine.Wait(kLongWait)) << engine.OutputSoFar();
  EXPECT_EQ(engine.ExitCode(), kAccessViolation);
  // Its output may still be on its way through the pipe.
  EXPECT_TRUE(engine.WaitForOutput("engine: crash response received", kLongWait)) << engine.OutputSoFar();
  const std::string out = engine.OutputSoFar();

  // The crash folder holds the dump.
  const auto folders = test::SubFolders(crashes.path());
  ASSERT_EQ(folders.size(), 1u) << out;
  EXPECT_TRUE(test::FileExists(crashes.path() + L"\\" + folders[0] + L"\\crash.dmp"));

  // The relaunched handler uploads the cached report and, on 201, deletes it.
  ASSERT_TRUE(PollFor(kUploadWait, [&] { return test::ReceivedCount(project) >= 1; }))
      << "nothing arrived for " << project << "; engine output: " << out;
  EXPECT_TRUE(PollFor(kUploadWait, [&] { return ListCachedReports().empty(); }));
  EXPECT_EQ(test::ReceivedCount(project), 1);

  const test::Received got = test::ReceivedRequest(project, 0);
  EXPECT_TRUE(got.Valid()) << got.record;
  const std::string json = test::Gunzip(got.file);
  rapidjson::Document report;
  report.Parse(json.c_str());
  ASSERT_TRUE(report.IsObject()) << json.substr(0, 400);
  EXPECT_EQ(Member(report, "appid"), project);
  EXPECT_EQ(Member(report, "version"), "1.4.2");
  EXPECT_EQ(Member(report, "platform"), "WindowsPlayer");

  // The crash: every thread with native frames, one of them the crashed one,
  // which waits in the engine's own crash handling.
  ASSERT_TRUE(report.HasMember("native_crash")) << json.substr(0, 400);
  const rapidjson::Value& threads = report["native_crash"]["threads"];
  ASSERT_TRUE(threads.IsArray());
  EXPECT_GE(threads.Size(), 6u);  // the main thread, the crasher, four parked
  int crashed = 0;
  bool crashed_in_engine = false;
  std::set<std::string> images;
  for (const auto& thread : threads.GetArray()) {
    const bool is_crashed = thread["crashed"].IsBool() && thread["crashed"].GetBool();
    crashed += is_crashed ? 1 : 0;
    for (const auto& frame : thread["frames"].GetArray()) {
      const std::string image = Member(frame, "image_name");
      images.insert(image);
      if (is_crashed && image == "test_engine") crashed_in_engine = true;
    }
  }
  EXPECT_EQ(crashed, 1);
  EXPECT_TRUE(crashed_in_engine);
  // Frames name their module without its extension.
  EXPECT_EQ(images.count("test_engine_chains"), 1u) << "the parked threads' frames";

  // The log messages in order, and the user metadata.
  const rapidjson::Value& logs = report["log_messages"];
  ASSERT_TRUE(logs.IsArray());
  ASSERT_EQ(logs.Size(), 5u);
  for (rapidjson::SizeType k = 0; k < logs.Size(); ++k) {
    EXPECT_EQ(Member(logs[k], "message"), "log message " + std::to_string(k));
  }
  const rapidjson::Value& user = report["user_metadata"];
  ASSERT_TRUE(user.IsArray());
  ASSERT_EQ(user.Size(), 2u);
  EXPECT_EQ(Member(user[0], "key"), "level");
  EXPECT_EQ(Member(user[0], "value"), "Forest");
  EXPECT_EQ(Member(user[1], "key"), "ready");
}

}  // namespace
}  // namespace nelko
