#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <string>

#include "report/report_cache_win.h"
#include "tests/support/child_process_win.h"

namespace nelko {
namespace {

using test::Quote;
using test::RunChild;
using test::SiblingPath;

std::wstring Handler() { return Quote(SiblingPath(L"NelkoCrashHandler.exe")); }

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// The report cache of the Windows user this test runs as. ctest gives each
// handler test the Unix USER "nelko_entry_<test>", from which Wine takes the
// user and so the profile holding LocalLow; the handlers the test starts run
// as that user too, so their upload mode never touches another test's, or
// the shared user's, reports. Empty, with a failure saying why, otherwise.
std::wstring OwnReportCache() {
  wchar_t user[256];
  const DWORD n = GetEnvironmentVariableW(L"USER", user, 256);
  if (n == 0 || n >= 256 || std::wstring(user, n).rfind(L"nelko_entry_", 0) != 0) {
    ADD_FAILURE() << "no Windows user of its own: USER does not begin with nelko_entry_ (ctest sets it)";
    return std::wstring();
  }
  // LocalLow lies in the user's folder beside the others in the profiles
  // folder, and exists only once created; without it the cache would fall
  // back to the temporary folder, which all users share.
  wchar_t profile[MAX_PATH];
  const DWORD m = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  if (m == 0 || m >= MAX_PATH) {
    ADD_FAILURE() << "no user profile: USERPROFILE is not set";
    return std::wstring();
  }
  const std::wstring profiles(profile, std::wstring(profile, m).rfind(L'\\') + 1);
  const std::wstring low = profiles + std::wstring(user, n) + L"\\AppData\\LocalLow";
  SHCreateDirectoryExW(nullptr, low.c_str(), nullptr);
  const std::wstring cache = GetCacheFolder();
  if (cache != low + L"\\Nelko\\CrashReports\\") {
    ADD_FAILURE() << "no report cache of its own: the cache is " << Narrow(cache) << ", not in "
                  << Narrow(low);
    return std::wstring();
  }
  RemoveTree(cache.substr(0, cache.size() - 1));
  SHCreateDirectoryExW(nullptr, cache.c_str(), nullptr);
  return cache;
}

TEST(HandlerEntry, WithoutAttachRunsUploadModeAndExitsWithItsResult) {
  const std::wstring cache = OwnReportCache();
  ASSERT_FALSE(cache.empty());
  // A report without its metadata file: upload mode lists it, cannot read
  // it, says so and leaves it.
  const std::wstring report = cache + L"CrashReport2026-03-05_142301042.json.gz";
  HANDLE file = CreateFileW(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  auto r = RunChild(Handler());
  ASSERT_TRUE(r.started) << r.output;
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.output,
            "Found 1 potential reports:\r\n .. " + Narrow(report) + ": Missing metadata\r\nDone.\r\n");
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  EXPECT_NE(GetFileAttributesW(report.c_str()), INVALID_FILE_ATTRIBUTES);
  RemoveTree(cache.substr(0, cache.size() - 1));
}

TEST(HandlerEntry, AttachWithoutArgumentsEndsWithNegativeResultWhole) {
  auto r = RunChild(Handler() + L" --attach");
  ASSERT_TRUE(r.started);
  ASSERT_FALSE(r.timed_out);
  // -900 as the 32-bit code a Windows parent sees.
  EXPECT_EQ(static_cast<int32_t>(r.exit_code), -900) << r.output;
}

TEST(HandlerEntry, FlagsInCapitalsAreRecognised) {
  auto r = RunChild(Handler() + L" --ATTACH");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(static_cast<int32_t>(r.exit_code), -900) << r.output;
}

TEST(HandlerEntry, ConsoleGivenTwiceIsAccepted) {
  ASSERT_FALSE(OwnReportCache().empty());
  auto r = RunChild(Handler() + L" --console --CONSOLE");
  ASSERT_TRUE(r.started) << r.output;
  ASSERT_FALSE(r.timed_out);
  // Upload mode ran over the empty cache and ended normally. Its lines go to
  // the new console, or stay on the pipe where no console can be made (Wine
  // without a terminal).
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  EXPECT_TRUE(r.output.empty() || r.output == "Found 0 potential reports:\r\nDone.\r\n") << r.output;
}

TEST(HandlerEntry, GeneralFlagsMayStandAnywhere) {
  auto r = RunChild(Handler() + L" --attach --Console");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(static_cast<int32_t>(r.exit_code), -900) << r.output;
}

TEST(HandlerEntry, WaitsForADebuggerWhenAskedAndNoneIsAttached) {
  test::ChildProcess child;
  ASSERT_TRUE(child.Start(Handler() + L" --Wait-For-Debugger"));
  EXPECT_TRUE(child.WaitForOutput("[CRASH HANDLER] Waiting for debugger...\r\n", 20000)) << child.Output(0);
  // It keeps waiting: no mode has run.
  EXPECT_FALSE(child.Wait(600));
  child.Kill();
  EXPECT_EQ(child.Output().find("Upload mode"), std::string::npos);
}

TEST(HandlerEntry, DiagnosticOutputReachesTheParentsStandardOutput) {
  ASSERT_FALSE(OwnReportCache().empty());
  auto r = RunChild(Handler());
  ASSERT_TRUE(r.started) << r.output;
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.output, "Found 0 potential reports:\r\nDone.\r\n");
}

}  // namespace
}  // namespace nelko
