// Faults from outside the handler, end to end through the real handler: the
// engine killed while its crash is handled, threads that end during the
// walk, a drive that fills up while the dump is written, a report cache that
// cannot be written. None may hang the handler: every wait has a limit (the
// engine session's, scaled), well below the test's own.
#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/text_win.h"
#include "capture/capture_test_files_win.h"
#include "report/report_cache_win.h"
#include "tests/support/cached_reports_win.h"
#include "tests/support/engine_session_win.h"
#include "tests/support/time_scale.h"

namespace nelko {
namespace {

using test::EngineSession;
using test::Quote;
using test::SubFolders;
using test::TempFolder;

constexpr DWORD kLongWait = 90000;

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

std::wstring ReportCommands(const std::wstring& crash_path, const std::string& marker) {
  return L"send SetCrashReportPath 1 " + Quote(crash_path) + L" send SetMetaData 2 ReportJson {} " +
         L"send SetUserMetaData 2 marker " + Utf8ToWide(marker) + L" ";
}

// Waits until the handler has closed the dump it writes into `folder` (it
// holds it without sharing while it writes); false when none came in time.
bool WaitForClosedDump(const std::wstring& folder) {
  const ULONGLONG end = GetTickCount64() + test::Scaled(kLongWait);
  while (GetTickCount64() < end) {
    for (const std::wstring& name : SubFolders(folder)) {
      HANDLE dump = CreateFileW((folder + L"\\" + name + L"\\crash.dmp").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      if (dump != INVALID_HANDLE_VALUE) {
        CloseHandle(dump);
        return true;
      }
    }
    Sleep(2);
  }
  return false;
}

// The engine is killed the moment its dump is written, while the handler
// walks its threads (many, one of them deep, so the walk takes a while): the
// handler finishes the crash with what it has, says so, and the session
// ends with the engine's exit.
TEST(CrashFromOutside, TheEngineKilledDuringTheWalkEndsTheCrashAndTheSessionWithTheEngine) {
  TempFolder crashes(L"killed");
  const std::string marker = test::Marker("killed");
  EngineSession s;
  ASSERT_TRUE(s.Start(ReportCommands(crashes.path(), marker) + L"park 160 400 0 await fault 0 90000 hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
  ASSERT_TRUE(WaitForClosedDump(crashes.path())) << s.engine.OutputSoFar();
  // At once: the walk of so many threads and the report's caching still lie
  // ahead of the release. The checks hold wherever the kill lands before it.
  s.engine.Kill();
  const std::string pid = std::to_string(s.engine.pid());
  EXPECT_EQ(s.HandlerResult(), 0) << s.engine.OutputSoFar();
  const std::string out = s.engine.OutputSoFar();
  EXPECT_TRUE(Contains(out, "Process PID " + pid + " ended while its crash was handled")) << out;
  EXPECT_TRUE(Contains(out, "Process PID " + pid + " exited with code 57005")) << out;
  const auto reports = test::TakeCachedReports(marker);
  EXPECT_EQ(reports.size(), 1u) << out;
}

// Half of 64 engine threads end one after another while the crash is
// handled, after the handler opened them: each is walked as far as it can
// be, and the crash is handled whole.
TEST(CrashFromOutside, SixtyFourEngineThreadsOfWhichSomeEndDuringTheWalkAreHandledWhole) {
  TempFolder crashes(L"ending");
  const std::string marker = test::Marker("ending");
  EngineSession s;
  ASSERT_TRUE(s.Start(ReportCommands(crashes.path(), marker) +
                      L"threads 31 ending 32 6000 await fault 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_TRUE(Contains(out, "engine: crash response received")) << out;
  const size_t count_at = out.find("engine: thread count ");
  ASSERT_NE(count_at, std::string::npos) << out;
  const size_t engine_threads = std::stoul(out.substr(count_at + 21));
  EXPECT_GE(engine_threads, 65u);  // main, crasher, 31 idle, 32 ending

  const auto reports = test::TakeCachedReports(marker);
  ASSERT_EQ(reports.size(), 1u) << out;
  rapidjson::Document doc;
  doc.Parse(reports[0].c_str());
  ASSERT_FALSE(doc.HasParseError());
  const auto& threads = doc["native_crash"]["threads"];
  EXPECT_GE(threads.Size(), 33u) << "at least the threads that lived on";
  EXPECT_LE(threads.Size(), engine_threads);
  size_t crashed = 0;
  for (const auto& thread : threads.GetArray()) crashed += thread["crashed"].GetBool() ? 1 : 0;
  EXPECT_EQ(crashed, 1u);
}

// The crash folder lies on a tiny drive that fills up while the dump is
// written: the failed dump is removed and said so, and the report, cached
// elsewhere, is whole.
TEST(CrashFromOutside, TheCrashFolderDriveFullWhileTheDumpIsWrittenLeavesNoDumpAndTheReportCached) {
  const char* drive = std::getenv("NELKO_TINY_DRIVE");
  ASSERT_NE(drive, nullptr)
      << "run through ctest: its fixture mounts the tiny drive (capture/test_drives.sh)";
  const std::wstring root = Utf8ToWide(drive) + L"\\";
  ULARGE_INTEGER free_bytes = {};
  ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &free_bytes, nullptr, nullptr));
  const std::wstring crashes = root + L"crashes-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(crashes.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  // A few KiB are left: no dump of either build fits.
  ULARGE_INTEGER room = {};
  ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &room, nullptr, nullptr));
  if (room.QuadPart > 4096) {
    test::WriteTextFile(crashes + L"\\filler", std::string(static_cast<size_t>(room.QuadPart - 4096), 'f'));
  }
  const std::string marker = test::Marker("drive-full");
  EngineSession s;
  ASSERT_TRUE(s.Start(ReportCommands(crashes, marker) + L"await fault 0 90000 terminate hang")) << s.failure;
  ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_TRUE(Contains(out, "engine: crash response received")) << out;
  const auto folders = SubFolders(crashes);
  ASSERT_EQ(folders.size(), 1u) << out;
  const std::wstring dump = crashes + L"\\" + folders[0] + L"\\crash.dmp";
  SCOPED_TRACE("dump of " + std::to_string(test::ReadWholeFile(dump).size()) + " bytes left");
  EXPECT_TRUE(Contains(out, "Failed to generate minidump at '" + WideToUtf8(dump) + "' (80070070)")) << out;
  EXPECT_FALSE(test::FileExists(dump));
  EXPECT_EQ(test::TakeCachedReports(marker).size(), 1u) << out;
  test::RemoveTree(crashes);
  ULARGE_INTEGER after = {};
  ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &after, nullptr, nullptr));
  EXPECT_EQ(after.QuadPart, free_bytes.QuadPart) << "nothing of the failed dump is left";
}

// A report cache that cannot be written: the crash is handled whole but for
// the report, which the handler says it could not cache. This test's Wine
// user is its own (ctest), so no other cache is touched.
void ExpectUncachedCrashHandledWhole(const char* tag) {
  TempFolder crashes(Utf8ToWide(tag));
  const std::string marker = test::Marker(tag);
  EngineSession s;
  ASSERT_TRUE(s.Start(ReportCommands(crashes.path(), marker) + L"await fault 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_TRUE(Contains(out, "Failed to cache crash report.\r\n")) << out;
  EXPECT_TRUE(Contains(out, "engine: crash response received")) << out;
  const auto folders = SubFolders(crashes.path());
  ASSERT_EQ(folders.size(), 1u) << out;
  EXPECT_TRUE(test::FileExists(crashes.path() + L"\\" + folders[0] + L"\\crash.dmp"));
}

// The cache folder without its final backslash, when it is this test's own
// user's; empty otherwise. A new Wine user has no LocalLow folder yet (the
// cache would go to the shared temporary folder): it is made first.
std::wstring OwnCacheFolder(const wchar_t* user) {
  PWSTR low = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, KF_FLAG_CREATE, nullptr, &low)))
    CoTaskMemFree(low);
  std::wstring folder = GetCacheFolder();
  if (folder.find(std::wstring(L"\\") + user + L"\\") == std::wstring::npos) return {};
  folder.pop_back();
  return folder;
}

TEST(CrashFromOutside, AFileInPlaceOfTheCacheFolderIsReportedAndTheCrashHandledWhole) {
  const std::wstring folder = OwnCacheFolder(L"nelko_cache_file_in_place");
  ASSERT_FALSE(folder.empty()) << "run through ctest, which gives this test a Wine user of its own";
  test::RemoveTree(folder);
  SHCreateDirectoryExW(nullptr, folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr);
  test::WriteTextFile(folder, "a file where the cache folder belongs");
  ExpectUncachedCrashHandledWhole("file-in-place");
  DeleteFileW(folder.c_str());
}

TEST(CrashFromOutside, AReadOnlyCacheFolderIsReportedAndTheCrashHandledWhole) {
  const std::wstring folder = OwnCacheFolder(L"nelko_readonly_cache");
  ASSERT_FALSE(folder.empty()) << "run through ctest, which gives this test a Wine user of its own";
  const std::wstring probe = folder + L"\\probe";
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    DeleteFileW(probe.c_str());
  }
  ASSERT_EQ(file, INVALID_HANDLE_VALUE)
      << "the fixture makes the cache folder read-only (capture/test_drives.sh)";
  ExpectUncachedCrashHandledWhole("read-only-cache");
}

}  // namespace
}  // namespace nelko
