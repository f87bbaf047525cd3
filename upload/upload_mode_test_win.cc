// Upload mode end to end: the real handler, started without --attach, over a
// report cache of its own, against the local collector.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "base/text_win.h"
#include "report/gzip.h"
#include "report/report_cache_win.h"
#include "tests/support/child_process_win.h"
#include "upload/collector_test_win.h"

namespace nelko {
namespace {

using test::UniqueProjectId;

constexpr size_t kBodyOverhead = 373;

std::wstring Handler() { return test::Quote(test::SiblingPath(L"NelkoCrashHandler.exe")); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Inflate(const std::string& gzip) {
  z_stream stream = {};
  if (inflateInit2(&stream, 31) != Z_OK) return "<not gzip>";
  std::string out(1 << 20, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
  stream.avail_in = static_cast<uInt>(gzip.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return result == Z_STREAM_END ? out : "<not gzip>";
}

// The output of a run over several reports: the listing's order is the
// file system's, so the report lines are compared as a sorted set.
std::string SortReportLines(const std::string& output) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    end = end == std::string::npos ? output.size() : end + 1;
    lines.push_back(output.substr(start, end - start));
    start = end;
  }
  if (lines.size() > 2) std::sort(lines.begin() + 1, lines.end() - 1);
  std::string sorted;
  for (const std::string& line : lines) sorted += line;
  return sorted;
}

// Each test runs as a Windows user of its own (ctest gives it the Unix USER
// "nelko_upload_<test>", from which Wine takes the user and so the profile
// holding LocalLow), and so do the handlers it starts: they see a report
// cache that no other test, nor any other upload run, touches.
class UploadMode : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!test::UseOwnReportCache(L"nelko_upload_", &cache_, &why)) GTEST_SKIP() << why;
    RemoveCache();
  }

  void TearDown() override {
    if (!cache_.empty()) RemoveCache();
  }

  void RemoveCache() { test::RemoveReportCache(cache_); }

  // Caches a report (gzip of a small JSON text) under the project id; returns
  // the report file's path.
  std::wstring Cache(const std::string& project, const wchar_t* name) {
    const std::string json = "{\"appid\":\"" + project + "\",\"n\":" + std::to_string(++reports_) + "}";
    std::string gzip;
    EXPECT_TRUE(CompressGzip(json, &gzip));
    const std::wstring path = cache_ + name + L".json.gz";
    EXPECT_EQ(WriteCachedReport(path, gzip, project), CacheStatus::kOk);
    json_[path] = json;
    return path;
  }

  static std::string Bytes(const std::wstring& path) { return test::ReadWhole(WideToUtf8(path)); }

  static test::ChildResult RunHandler(const std::wstring& arguments = L"") {
    return test::RunChild(Handler() + arguments, {}, 60000);
  }

  static std::string Line(const std::wstring& path, const std::string& text) {
    return " .. " + WideToUtf8(path) + ": " + text + "\r\n";
  }

  static std::string Url(const std::string& project) {
    return test::CollectorBaseUrl() + "/api/v2/projects/" + project + "/reports";
  }

  static bool BothExist(const std::wstring& path) { return Exists(path) && Exists(MetaPathFor(path)); }
  static bool NeitherExists(const std::wstring& path) { return !Exists(path) && !Exists(MetaPathFor(path)); }

  std::wstring cache_;
  std::map<std::wstring, std::string> json_;
  int reports_ = 0;
};

TEST_F(UploadMode, EmptyCacheFindsNothingAndExitsWithZero) {
  const test::ChildResult r = RunHandler();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, "Found 0 potential reports:\r\nDone.\r\n");
}

TEST_F(UploadMode, Answers201And204UploadTheReportsAndDeleteBothFiles) {
  const std::string created = UniqueProjectId("status-201-");
  const std::string no_content = UniqueProjectId("status-204-");
  const std::wstring first = Cache(created, L"CrashReport2026-03-05_142301042");
  const std::wstring second = Cache(no_content, L"CrashReport2026-03-05_142301043");
  const std::string first_bytes = Bytes(first);
  const std::string second_bytes = Bytes(second);

  const test::ChildResult r = RunHandler();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(SortReportLines(r.output), SortReportLines("Found 2 potential reports:\r\n" + Line(first, "OK") +
                                                       Line(second, "OK") + "Done.\r\n"));
  EXPECT_TRUE(NeitherExists(first));
  EXPECT_TRUE(NeitherExists(second));

  // What arrived is the cached file byte for byte, and it is the report.
  ASSERT_EQ(test::ReceivedCount(created), 1);
  ASSERT_EQ(test::ReceivedCount(no_content), 1);
  const test::Received got_first = test::ReceivedRequest(created, 0);
  const test::Received got_second = test::ReceivedRequest(no_content, 0);
  EXPECT_TRUE(got_first.Valid()) << got_first.record;
  EXPECT_TRUE(got_second.Valid()) << got_second.record;
  EXPECT_EQ(got_first.file, first_bytes);
  EXPECT_EQ(got_second.file, second_bytes);
  EXPECT_EQ(Inflate(got_first.file), json_[first]);
  EXPECT_EQ(Inflate(got_second.file), json_[second]);
}

TEST_F(UploadMode, RedirectAndErrorAnswersPrintTheCodeAndKeepBothFiles) {
  for (const char* code : {"301", "400", "500"}) {
    const std::string project = UniqueProjectId(std::string("status-") + code + "-");
    const std::wstring path = Cache(project, L"CrashReport2026-03-05_142301042");
    const size_t body = kBodyOverhead + Bytes(path).size();

    const test::ChildResult r = RunHandler();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.output, "Found 1 potential reports:\r\n .. " + WideToUtf8(path) + ": Upload of " +
                            std::to_string(body) + " bytes to server '" + Url(project) +
                            "' completed, the server responded with code " + code +
                            "\r\nFailed to upload\r\nDone.\r\n");
    EXPECT_TRUE(BothExist(path)) << code;
    EXPECT_EQ(test::ReceivedCount(project), 1) << code;
    RemoveCache();
  }
}

TEST_F(UploadMode, NoDeleteKeepsAnUploadedReportAndTheNextRunSendsItAgain) {
  const std::string project = UniqueProjectId("status-201-");
  const std::wstring path = Cache(project, L"CrashReport2026-03-05_142301042");

  // Any case of the flag counts.
  test::ChildResult r = RunHandler(L" --NO-Delete");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, "Found 1 potential reports:\r\n" + Line(path, "OK") + "Done.\r\n");
  EXPECT_TRUE(BothExist(path));
  EXPECT_EQ(test::ReceivedCount(project), 1);

  r = RunHandler();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.output, "Found 1 potential reports:\r\n" + Line(path, "OK") + "Done.\r\n");
  EXPECT_TRUE(NeitherExists(path));
  ASSERT_EQ(test::ReceivedCount(project), 2);
  EXPECT_EQ(test::ReceivedRequest(project, 0).file, test::ReceivedRequest(project, 1).file);
}

TEST_F(UploadMode, UnreadableReportsPrintTheirStatusAndStay) {
  const std::string sent = UniqueProjectId("status-201-");
  const std::wstring good = Cache(sent, L"CrashReport2026-03-05_142301040");
  const std::wstring corrupt_metadata =
      Cache(UniqueProjectId("status-201-m"), L"CrashReport2026-03-05_142301041");
  {
    // A metadata file one byte short.
    const std::string record = Bytes(MetaPathFor(corrupt_metadata));
    HANDLE meta = CreateFileW(MetaPathFor(corrupt_metadata).c_str(), GENERIC_WRITE, 0, nullptr,
                              TRUNCATE_EXISTING, 0, nullptr);
    ASSERT_NE(meta, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(meta, record.data(), static_cast<DWORD>(record.size() - 1), &written, nullptr);
    CloseHandle(meta);
  }
  const std::wstring no_project = Cache("", L"CrashReport2026-03-05_142301042");

  const test::ChildResult r = RunHandler();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(SortReportLines(r.output),
            SortReportLines("Found 3 potential reports:\r\n" + Line(good, "OK") +
                            Line(corrupt_metadata, "Metadata corrupt or wrong version") +
                            Line(no_project, "ProjectID is empty") + "Done.\r\n"));
  EXPECT_TRUE(NeitherExists(good));
  EXPECT_TRUE(BothExist(corrupt_metadata));
  EXPECT_TRUE(BothExist(no_project));
  EXPECT_EQ(test::ReceivedCount(sent), 1);
}

// A report whose metadata was lost (a writer of an earlier kind, beside an
// upload run) gets it back from its own project id and is sent.
TEST_F(UploadMode, AReportWithoutMetadataGetsItBackAndIsSent) {
  const std::string project = UniqueProjectId("status-201-");
  const std::wstring path = Cache(project, L"CrashReport2026-03-05_142301042");
  ASSERT_TRUE(DeleteFileW(MetaPathFor(path).c_str()));
  const test::ChildResult r = RunHandler();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.output, "Rebuilt the missing metadata of " + WideToUtf8(path) +
                          " from the report\r\nFound 1 potential reports:\r\n" + Line(path, "OK") +
                          "Done.\r\n");
  EXPECT_TRUE(NeitherExists(path));
  ASSERT_EQ(test::ReceivedCount(project), 1);
  EXPECT_EQ(Inflate(test::ReceivedRequest(project, 0).file), json_[path]);
}

TEST_F(UploadMode, ConnectionClosedWithoutAnswerKeepsBothFiles) {
  const std::string project = UniqueProjectId("status-none-");
  const std::wstring path = Cache(project, L"CrashReport2026-03-05_142301042");
  const test::ChildResult r = RunHandler();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_NE(r.output.find("Failed to upload\r\nDone.\r\n"), std::string::npos) << r.output;
  EXPECT_TRUE(BothExist(path));
}

// Two engines that end together each relaunch the handler into upload mode:
// the run that reads a report first holds it until it is deleted, and the
// other leaves it alone, so the service gets it once.
TEST_F(UploadMode, OverlappingRunsSendAReportOnce) {
  const std::string project = UniqueProjectId("hold-");
  const std::wstring path = Cache(project, L"CrashReport2026-03-05_142301042");

  test::ChildProcess first;
  ASSERT_TRUE(first.Start(Handler()));
  // The collector keeps the first run's request unanswered until released.
  for (int i = 0; i < 600 && test::ReceivedCount(project) == 0; ++i) Sleep(50);
  ASSERT_EQ(test::ReceivedCount(project), 1) << first.OutputSoFar();

  const test::ChildResult second = RunHandler();
  test::ReleaseHeldRequest(project);
  ASSERT_FALSE(second.timed_out);
  EXPECT_EQ(second.exit_code, 0u);
  EXPECT_EQ(second.output, "Found 1 potential reports:\r\n" + Line(path, "Missing report") + "Done.\r\n");

  ASSERT_TRUE(first.Wait(60000));
  EXPECT_EQ(first.ExitCode(), 0u);
  EXPECT_EQ(first.Output(), "Found 1 potential reports:\r\n" + Line(path, "OK") + "Done.\r\n");
  EXPECT_TRUE(NeitherExists(path));
  EXPECT_EQ(test::ReceivedCount(project), 1);
}

// Runs after the collector has stopped, so its port is closed.
class UploadWithoutCollector : public UploadMode {};

TEST_F(UploadWithoutCollector, ClosedPortPrintsTheSendFailureAndKeepsBothFiles) {
  const std::string project = UniqueProjectId("status-201-");
  const std::wstring path = Cache(project, L"CrashReport2026-03-05_142301042");
  const size_t body = kBodyOverhead + Bytes(path).size();
  const test::ChildResult r = RunHandler();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, "Found 1 potential reports:\r\n .. " + WideToUtf8(path) + ": Failed to upload " +
                          std::to_string(body) + " bytes to server '" + Url(project) +
                          "' (code 12029)\r\nFailed to upload\r\nDone.\r\n");
  EXPECT_TRUE(BothExist(path));
}

}  // namespace
}  // namespace nelko
