// One run of upload mode in-process over a cache folder of the test's own,
// against the local collector, with limits that end in seconds: every class
// of answer, the server refusing a report again and again, the cache's
// bounds, the run's time limit, and what a killed cache writer left.
#include "upload/upload_mode_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "base/text_win.h"
#include "report/gzip.h"
#include "report/report_cache_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/diag_capture.h"
#include "tests/support/time_scale.h"
#include "upload/collector_test_win.h"

namespace nelko {
namespace {

using test::UniqueProjectId;

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// Moves a file's last write `hours` into the past.
void Age(const std::wstring& path, int hours) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << WideToUtf8(path);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER value;
  value.LowPart = now.dwLowDateTime;
  value.HighPart = now.dwHighDateTime;
  value.QuadPart -= static_cast<uint64_t>(hours) * 3600 * 10000000;
  FILETIME then{value.LowPart, value.HighPart};
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &then));
  CloseHandle(file);
}

class UploadRun : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    folder_ = std::wstring(temp) + L"nelko_upload_run_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              Utf8ToWide(name) + L"\\";
    Clear();
    CreateDirectoryW(folder_.c_str(), nullptr);
    options_.base_url = base_url_.c_str();
    // The first request of a process sets up TLS, which took over half a
    // minute in the emulated 32-bit machine: made here, with the default
    // limits, so that the short ones below time the server's answers only.
    {
      test::DiagCapture quiet;
      UploadReport(CachedReport{"warm", UniqueProjectId("status-201-warm-")}, base_url_.c_str());
    }
    // Seconds, not minutes: a server that never answers ends a report's
    // attempt within them.
    options_.request.limits.connect_ms = test::Scaled(10000);
    options_.request.limits.send_ms = test::Scaled(10000);
    options_.request.limits.receive_ms = test::Scaled(3000);
    options_.request.limits.request_ms = test::Scaled(6000);
  }
  void TearDown() override { Clear(); }

  void Clear() { test::RemoveReportCache(folder_); }

  // Caches the gzip of {"appid":"<project>"} as <name>.json.gz; `hours` old.
  std::wstring Cache(const std::string& project, const std::wstring& name, int hours = 0) {
    std::string gzip;
    EXPECT_TRUE(CompressGzip("{\"appid\":\"" + project + "\"}", &gzip));
    const std::wstring path = folder_ + name + L".json.gz";
    EXPECT_EQ(WriteCachedReport(path, gzip, project), CacheStatus::kOk);
    if (hours > 0) Age(path, hours);
    return path;
  }

  std::string Run() {
    test::DiagCapture output;
    UploadCachedReports(folder_, options_);
    return output.Take();
  }

  static std::string Line(const std::wstring& path) { return " .. " + WideToUtf8(path) + ": "; }

  // The text from a report's line to the end of its status.
  static std::string ReportLines(const std::string& output, const std::wstring& path) {
    const size_t start = output.find(Line(path));
    if (start == std::string::npos) return "<no line>";
    size_t end = start;
    for (const char* status : {"OK\n", "Failed to upload\n", "Missing report\n", "Missing metadata\n"}) {
      const size_t at = output.find(status, start + Line(path).size());
      if (at != std::string::npos && (end == start || at + std::string(status).size() < end))
        end = at + std::string(status).size();
    }
    return output.substr(start, end - start);
  }

  static bool BothExist(const std::wstring& path) { return Exists(path) && Exists(MetaPathFor(path)); }
  static bool NeitherExists(const std::wstring& path) { return !Exists(path) && !Exists(MetaPathFor(path)); }

  std::wstring folder_;
  std::string base_url_ = test::CollectorBaseUrl();
  UploadRunOptions options_;
};

// Two reports in one run, the first answered by each class in turn, the
// second with 201: only a 2xx answer deletes, and no answer of the first
// keeps the second from being sent.
TEST_F(UploadRun, EachClassOfAnswerKeepsOrDeletesItsReportAndTheNextReportStillGoes) {
  struct Case {
    const char* prefix;
    bool deleted;
    const char* says;  // part of the first report's lines
  };
  const Case cases[] = {
      {"status-204-", true, "OK"},
      {"status-302-", false, "the server responded with code 302"},
      {"status-403-", false, "the server responded with code 403"},
      {"status-503-", false, "the server responded with code 503"},
      {"status-none-", false, "Failed to upload\n"},
      {"silent-", false, "Failed to upload\n"},
      {"trickle-", false, "abandoned: no whole answer within"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    const std::string first_project = UniqueProjectId(c.prefix);
    const std::string second_project = UniqueProjectId("status-201-second-");
    const std::wstring first = Cache(first_project, L"CrashReport2026-03-05_142301042", 2);
    const std::wstring second = Cache(second_project, L"CrashReport2026-03-05_142301043", 1);

    const std::string output = Run();
    EXPECT_EQ(output.rfind("Found 2 potential reports:\n", 0), 0u) << output;
    EXPECT_TRUE(Contains(ReportLines(output, first), c.says)) << output;
    EXPECT_EQ(ReportLines(output, second), Line(second) + "OK\n") << output;
    EXPECT_EQ(output.substr(output.size() - 6), "Done.\n") << output;
    EXPECT_EQ(c.deleted ? NeitherExists(first) : BothExist(first), true) << output;
    EXPECT_TRUE(NeitherExists(second)) << output;
    EXPECT_EQ(test::ReceivedCount(first_project), 1);
    EXPECT_EQ(test::ReceivedCount(second_project), 1);
    Clear();
    CreateDirectoryW(folder_.c_str(), nullptr);
  }
}

TEST_F(UploadRun, AReportTheServerRefusesIsGivenUpAfterItsThirdRefusalButNotForTryLater) {
  const std::string refused_project = UniqueProjectId("status-422-");
  const std::string later_project = UniqueProjectId("status-429-");
  const std::wstring refused = Cache(refused_project, L"CrashReport2026-03-05_142301042", 2);
  const std::wstring later = Cache(later_project, L"CrashReport2026-03-05_142301043", 1);
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    const std::string output = Run();
    const bool given_up = Contains(
        ReportLines(output, refused),
        "Gave up on the report: the server refused it 3 times (last code 422); removed\nFailed to upload\n");
    EXPECT_EQ(given_up, run == 3) << output;
    EXPECT_EQ(BothExist(refused), run < 3) << output;
    EXPECT_TRUE(BothExist(later)) << output;
  }
  EXPECT_FALSE(Exists(RefusalsPathFor(refused)));
  EXPECT_EQ(test::ReceivedCount(refused_project), 3);
  EXPECT_EQ(test::ReceivedCount(later_project), 3);
  // Gone for good: the next run finds only the other report.
  EXPECT_EQ(Run().rfind("Found 1 potential reports:\n", 0), 0u);
}

// Without network the cache would grow by a report every crash: it keeps
// the newest, within a count and a size, and says what it removed.
TEST_F(UploadRun, TheCacheKeepsItsNewestReportsWithinItsBounds) {
  base_url_ = "https://localhost:1";  // nothing listens there: each send fails at once
  options_.base_url = base_url_.c_str();
  std::vector<std::wstring> reports;
  for (int i = 0; i < 5; ++i)
    reports.push_back(Cache("p", L"CrashReport2026-03-05_14230104" + std::to_wstring(i), 10 - i));
  options_.max_reports = 3;
  std::string output = Run();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(Contains(output, "Removed " + WideToUtf8(reports[i]) +
                                     ": the report cache keeps 3 reports and 100 MiB at most\n"))
        << output;
    EXPECT_TRUE(NeitherExists(reports[i]));
  }
  EXPECT_TRUE(Contains(output, "Found 3 potential reports:\n")) << output;
  for (int i = 2; i < 5; ++i) EXPECT_TRUE(BothExist(reports[i]));

  // By size: a bound below one report's size leaves the newest alone.
  options_.max_bytes = 1;
  output = Run();
  EXPECT_TRUE(Contains(output, "Found 1 potential reports:\n")) << output;
  EXPECT_TRUE(NeitherExists(reports[2]));
  EXPECT_TRUE(NeitherExists(reports[3]));
  EXPECT_TRUE(BothExist(reports[4]));
}

TEST_F(UploadRun, ReportsLeftWhenTheRunsTimeIsUpWaitForTheNextRun) {
  const std::wstring first = Cache(UniqueProjectId("silent-"), L"CrashReport2026-03-05_142301042", 2);
  const std::string second_project = UniqueProjectId("status-201-");
  const std::wstring second = Cache(second_project, L"CrashReport2026-03-05_142301043", 1);
  // The silent server holds the first request until the run's time is up.
  options_.request.limits.receive_ms = test::Scaled(60000);
  options_.request.limits.request_ms = test::Scaled(60000);
  options_.run_limit_ms = test::Scaled(3000);
  const std::string output = Run();
  EXPECT_TRUE(Contains(ReportLines(output, first), "Failed to upload\n")) << output;
  EXPECT_FALSE(Contains(output, Line(second))) << output;
  EXPECT_TRUE(Contains(output, " seconds reached: 1 reports left for the next run\nDone.\n")) << output;
  EXPECT_TRUE(BothExist(first));
  EXPECT_TRUE(BothExist(second));
  EXPECT_EQ(test::ReceivedCount(second_project), 0);
}

// A handler killed while it cached a report leaves its unfinished files;
// the next run completes the pair, sends it, and never sends half of one.
TEST_F(UploadRun, WhatAKilledWriterLeftIsCompletedOrRemovedNeverSentHalf) {
  const std::string project = UniqueProjectId("status-201-killed-");
  const std::wstring killed = folder_ + L"CrashReport2026-03-05_142301042.json.gz";
  test::ChildProcess writer;
  ASSERT_TRUE(writer.Start(test::Quote(test::SiblingPath(L"cache_writer_probe.exe")) + L" " +
                           test::Quote(killed) + L" " + Utf8ToWide(project)));
  ASSERT_TRUE(writer.WaitForOutput("probe: between the files", 60000)) << writer.OutputSoFar();
  writer.Kill();
  ASSERT_TRUE(writer.Wait(60000));

  // Left by writers of an earlier kind or stopped sooner: a report without
  // metadata (readable, and not), and a lone unfinished file.
  const std::string orphan_project = UniqueProjectId("status-201-orphan-");
  const std::wstring orphan = Cache(orphan_project, L"CrashReport2026-03-05_142301043");
  ASSERT_TRUE(DeleteFileW(MetaPathFor(orphan).c_str()));
  const std::wstring broken = Cache("p", L"CrashReport2026-03-05_142301044");
  ASSERT_TRUE(DeleteFileW(MetaPathFor(broken).c_str()));
  {
    HANDLE file = CreateFileW(broken.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "\x1f\x8b cut", 6, &written, nullptr);
    CloseHandle(file);
  }
  const std::wstring lone = folder_ + L"CrashReport2026-03-05_142301045.json.gz.part";
  CloseHandle(CreateFileW(lone.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));

  // Young files may belong to a writer still at work: left alone.
  std::string output = Run();
  EXPECT_TRUE(Exists(killed + L".part")) << output;
  EXPECT_TRUE(Exists(MetaPathFor(killed))) << output;
  EXPECT_TRUE(Exists(lone)) << output;
  EXPECT_FALSE(Exists(killed)) << output;
  EXPECT_TRUE(
      Contains(output, "Rebuilt the missing metadata of " + WideToUtf8(orphan) + " from the report\n"))
      << output;
  EXPECT_TRUE(Contains(output, "Removed " + WideToUtf8(broken) + ": no report to send can be made of it\n"))
      << output;
  EXPECT_EQ(ReportLines(output, orphan), Line(orphan) + "OK\n") << output;
  EXPECT_EQ(test::ReceivedCount(orphan_project), 1);

  for (const std::wstring& path : {killed + L".part", MetaPathFor(killed), lone}) Age(path, 2);
  output = Run();
  EXPECT_TRUE(Contains(
      output, "Completed " + WideToUtf8(killed) + ", which a stopped crash handler left unfinished\n"))
      << output;
  EXPECT_TRUE(Contains(output, "Removed " + WideToUtf8(lone) + ": no report to send can be made of it\n"))
      << output;
  EXPECT_EQ(ReportLines(output, killed), Line(killed) + "OK\n") << output;
  ASSERT_EQ(test::ReceivedCount(project), 1);
  std::string json;
  EXPECT_EQ(DecompressGzip(test::ReceivedRequest(project, 0).file, &json, 1 << 20), GunzipResult::kOk);
  EXPECT_EQ(json, "{\"appid\":\"" + project + "\"}");
  // Nothing is left in the cache.
  EXPECT_EQ(Run(), "Found 0 potential reports:\nDone.\n");
}

}  // namespace
}  // namespace nelko
