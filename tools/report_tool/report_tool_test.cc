// The report tool over a cache the handler's own code writes, and over input
// that is broken in each way a user meets.
#include "tools/report_tool/report_tool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "report/crash_report.h"
#include "report/gzip.h"
#include "report/report_cache.h"
#include "tests/support/temp_files.h"
#include "tools/report_tool/report_view.h"

namespace nelko::report_tool {
namespace {

struct ToolRun {
  int result;
  std::string out;
  std::string err;
};

ToolRun Tool(const std::vector<std::string>& args) {
  ToolRun run;
  run.result = RunReportTool(args, "", &run.out, &run.err);
  return run;
}

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

CrashReport SampleReport() {
  CrashReport report;
  report.appid = "forest-trek";
  report.version = "1.4.2";
  report.platform = "WindowsPlayer";
  report.name = "Forest Trek";
  report.client_ts = 1796740639737;  // 2026-12-08 14:37:19.737 UTC
  report.hasNativeCrash = true;
  for (uint32_t n = 0; n < 2; ++n) {
    Thread thread;
    thread.number = n;
    thread.name = ThreadName(300 + n);
    thread.crashed = n == 1;
    for (uint64_t f = 0; f < 12; ++f) {
      StackFrame frame;
      frame.image_name = f % 2 ? "C:\\Game\\game.exe" : "C:\\windows\\system32\\ntdll.dll";
      frame.image_base_address = 0x140000000;
      frame.absolute_pc = 0x140001000 + f;
      frame.relative_pc = 0x1000 + f;
      thread.AddFrame(frame);
    }
    report.native_crash.AddThread(thread);
  }
  for (int m = 0; m < 7; ++m) report.log_messages.push_back({"message " + std::to_string(m), 1, 2, 3});
  report.log_messages.back().type = 0;
  report.user_metadata.push_back({"level", "Ancient Grove"});
  report.user_metadata.push_back({"save_slot", "2"});
  return report;
}

class ReportToolCache : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test::TempFilePath(
        "report_tool_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    for (const std::string& path : ListCachedReportsIn(folder_)) Remove(path);
    ASSERT_TRUE(CacheReportAt(report_, folder_ + "/", {2026, 12, 8, 14, 37, 19, 716}, &path_));
  }
  void TearDown() override {
    for (const std::string& path : ListCachedReportsIn(folder_)) Remove(path);
  }
  static void Remove(const std::string& path) {
    std::remove(path.c_str());
    std::remove(MetaPathFor(path).c_str());
  }

  CrashReport report_ = SampleReport();
  std::string folder_;
  std::string path_;
};

TEST_F(ReportToolCache, ListsShowsAndVerifiesWhatTheHandlerCached) {
  const ToolRun list = Tool({"list", folder_});
  EXPECT_EQ(list.result, kDone) << list.err;
  EXPECT_TRUE(Contains(list.out, "CrashReport2026-12-08_143719716.json.gz")) << list.out;
  EXPECT_TRUE(Contains(list.out, "forest-trek")) << list.out;
  EXPECT_TRUE(Contains(list.out, "2026-12-08 14:37:19.716 UTC  sound")) << list.out;
  EXPECT_TRUE(Contains(list.out, "1 cached report in ")) << list.out;

  const ToolRun show = Tool({"show", path_, "--frames", "3", "--logs", "2"});
  EXPECT_EQ(show.result, kDone) << show.err;
  EXPECT_TRUE(Contains(show.out, "Cache pair:      sound, project 'forest-trek'")) << show.out;
  EXPECT_TRUE(Contains(show.out, "forest-trek 1.4.2 on WindowsPlayer (\"Forest Trek\")")) << show.out;
  EXPECT_TRUE(Contains(show.out, "made 2026-12-08 14:37:19.737 UTC")) << show.out;
  EXPECT_TRUE(Contains(show.out,
                       "#1 Thread 301 (12 frames)\n                   ntdll.dll+0x1000\n"
                       "                   game.exe+0x1001\n                   ntdll.dll+0x1002\n"
                       "                   ... 9 more\n"))
      << show.out;
  EXPECT_TRUE(Contains(show.out, "Crash hash:      " + report_.native_crash.ComputeHash())) << show.out;
  EXPECT_TRUE(Contains(show.out,
                       "7, the last 2:\n                   [log] message 5\n"
                       "                   [error] message 6\n"))
      << show.out;
  EXPECT_TRUE(Contains(show.out, "level=Ancient Grove\n                   save_slot=2\n")) << show.out;

  const ToolRun verify = Tool({"verify", path_});
  EXPECT_EQ(verify.result, kDone) << verify.err;
  EXPECT_TRUE(Contains(verify.out, "sound; project 'forest-trek'")) << verify.out;
}

// A report as a collector stores it: the gzip alone, no metadata beside it.
TEST_F(ReportToolCache, ShowsAReceivedReportWithoutAPair) {
  const std::string received = folder_ + "/0.gz";
  test::WriteBytes(received, test::ReadBytes(path_));
  const ToolRun show = Tool({"show", received});
  std::remove(received.c_str());
  EXPECT_EQ(show.result, kDone) << show.err;
  EXPECT_FALSE(Contains(show.out, "Cache pair:")) << show.out;
  EXPECT_TRUE(Contains(show.out, "#1 Thread 301")) << show.out;
}

// Each broken input gets a message that says what is wrong, and a result
// that is not 0.
TEST_F(ReportToolCache, BrokenInputGetsAClearMessageAndANonZeroResult) {
  const std::string gz = test::ReadBytes(path_);

  // A wrong digest: one byte of the cached report changed.
  std::string changed = gz;
  changed[changed.size() / 2] ^= 0x55;
  test::WriteBytes(path_, changed);
  ToolRun run = Tool({"verify", path_});
  EXPECT_EQ(run.result, kUnsound);
  EXPECT_TRUE(Contains(run.err, "Corrupt report")) << run.err;
  run = Tool({"list", folder_});
  EXPECT_TRUE(Contains(run.out, "unsound: Corrupt report")) << run.out;
  run = Tool({"show", path_});
  EXPECT_EQ(run.result, kUnsound);
  EXPECT_FALSE(run.err.empty());

  // A truncated gzip stream, on its own.
  const std::string received = folder_ + "/1.gz";
  test::WriteBytes(received, gz.substr(0, gz.size() - 20));
  run = Tool({"show", received});
  EXPECT_EQ(run.result, kUnsound);
  EXPECT_TRUE(Contains(run.err, "truncated gzip data")) << run.err;

  // Whole gzip, but of JSON that is not a report.
  std::string not_report;
  ASSERT_TRUE(CompressGzip(R"({"hello":"world"})", &not_report));
  test::WriteBytes(received, not_report);
  run = Tool({"show", received});
  EXPECT_EQ(run.result, kUnsound);
  EXPECT_TRUE(Contains(run.err, "not a report: no \"client_report_id\"")) << run.err;

  // Text that is neither gzip nor JSON.
  test::WriteBytes(received, "PK\x03\x04 a zip file");
  run = Tool({"show", received});
  EXPECT_EQ(run.result, kUnsound);
  EXPECT_TRUE(Contains(run.err, "not JSON")) << run.err;
  std::remove(received.c_str());

  // A file that is not there, and a report without its metadata.
  run = Tool({"show", folder_ + "/missing.gz"});
  EXPECT_EQ(run.result, kUnsound);
  EXPECT_TRUE(Contains(run.err, "cannot be read")) << run.err;
  std::remove(MetaPathFor(path_).c_str());
  run = Tool({"verify", path_});
  EXPECT_EQ(run.result, kUnsound);
  EXPECT_TRUE(Contains(run.err, "Missing metadata")) << run.err;
}

TEST(ReportTool, UsageErrorsSayHowToUseIt) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"show"}, {"verify"}, {"list"}, {"show", "x", "--frames", "-1"}}) {
    const ToolRun run = Tool(args);
    EXPECT_EQ(run.result, kUsage) << (args.empty() ? "" : args[0]);
    EXPECT_TRUE(Contains(run.err, "usage: report_tool")) << run.err;
  }
}

TEST(ReportTool, TimesAreUtcDatesAcrossLeapDays) {
  EXPECT_EQ(FormatUtcTime(0), "1970-01-01 00:00:00.000 UTC");
  EXPECT_EQ(FormatUtcTime(951782400000), "2000-02-29 00:00:00.000 UTC");
  EXPECT_EQ(FormatUtcTime(4107542399999), "2100-02-28 23:59:59.999 UTC");
  EXPECT_EQ(FormatUtcTime(18446744073709551615ull), "18446744073709551615 ms after 1970");
}

}  // namespace
}  // namespace nelko::report_tool
