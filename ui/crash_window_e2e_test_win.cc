// End to end: the real handler shows its progress window and starts the bug
// reporter while it handles a real crash of the test engine. The window is
// watched through its own API (caption, progress position), never by pixels.
// Window tests need a display and skip without one; the handler without a
// display is checked by "ui.crash_handler_without_display" (ui/CMakeLists.txt).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "capture/capture_test_files_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/dialog_window_win.h"
#include "tests/support/engine_session_win.h"
#include "tests/support/time_scale.h"
#include "ui/crash_dialog_resources.h"

namespace nelko {
namespace {

using test::ChildProcess;
using test::DialogOf;
using test::Quote;
using test::SiblingPath;
using test::TempFolder;
using test::WindowText;

constexpr DWORD kLongWait = 90000;
constexpr uint32_t kAccessViolation = 0xC0000005u;
constexpr char kResponse[] = "engine: crash response received";

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

int ProgressOf(HWND dialog) {
  return static_cast<int>(SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

// One argument of the engine's command line, its inner quotes kept (the
// arguments hold no backslash right before a quote).
std::wstring Argument(const std::wstring& text) {
  std::wstring out = L"\"";
  for (wchar_t c : text) {
    if (c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

// The engine session, and the handler's window as the test sees it.
class EngineSession : public test::EngineSession {
 public:
  // Polls for the handler's window; null when none came in time.
  HWND WaitForDialog() {
    const ULONGLONG end = GetTickCount64() + test::Scaled(kLongWait);
    for (;;) {
      if (HWND dialog = DialogOf(handler_pid)) return dialog;
      if (GetTickCount64() >= end) return nullptr;
      Sleep(10);
    }
  }

  // True once the handler has no window any more.
  bool WaitForNoDialog() {
    const ULONGLONG end = GetTickCount64() + test::Scaled(kLongWait);
    while (DialogOf(handler_pid) != nullptr) {
      if (GetTickCount64() >= end) return false;
      Sleep(10);
    }
    return true;
  }
};

std::wstring CrashPathCommand(const TempFolder& crashes) {
  return L"send SetCrashReportPath 1 " + Quote(crashes.path()) + L" ";
}

// Polls until the progress bar stands at `position`; the last one read.
int WaitForProgress(HWND dialog, int position) {
  const ULONGLONG end = GetTickCount64() + test::Scaled(kLongWait);
  int now = ProgressOf(dialog);
  while (now != position && IsWindow(dialog) && GetTickCount64() < end) {
    Sleep(10);
    now = ProgressOf(dialog);
  }
  return now;
}

TEST(CrashWindowEndToEnd, WaitingForTheUserTheWindowStaysAfterTheEngineIsAnsweredUntilClosed) {
  SKIP_WITHOUT_DISPLAY();
  TempFolder crashes(L"window-wait");
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) +
                          L"send SetAppName 1 \"Space Game\" send SetInfo 1 \"Build 7\" await fault 0 90000 "
                          L"await terminate wait-handler 90000",
                      L"--wait-for-user"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'Build 7'")) << s.failure;

  const HWND dialog = s.WaitForDialog();
  ASSERT_NE(dialog, nullptr) << s.engine.OutputSoFar();
  // The caption is set once the window exists, before any progress.
  EXPECT_EQ(WaitForProgress(dialog, 100), 100);
  EXPECT_EQ(WindowText(dialog), L"Space Game - Build 7");
  // The engine is answered while the window still waits for the user.
  ASSERT_TRUE(s.engine.WaitForOutput(kResponse, kLongWait)) << s.engine.OutputSoFar();
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(DialogOf(s.handler_pid), dialog);
  EXPECT_TRUE(s.HandlerRunning());

  PostMessageW(dialog, WM_CLOSE, 0, 0);
  EXPECT_TRUE(s.WaitForNoDialog());
  // The handler goes back to watching the engine, which now ends cleanly.
  ASSERT_TRUE(s.Continue()) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  ASSERT_TRUE(s.engine.Wait(kLongWait));
  const std::string out = s.engine.Output(kLongWait);
  EXPECT_TRUE(Contains(out, "engine: handler exited with code 0")) << out;
}

TEST(CrashWindowEndToEnd, WithAnEmptyAppNameTheCaptionNamesTheExecutableAndAFatalCrashWaitsForTheUser) {
  SKIP_WITHOUT_DISPLAY();
  TempFolder crashes(L"window-fatal");
  EngineSession s;
  // An app name never sent stays "<unknown>"; only an empty one gives way to
  // the executable's file name.
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) +
                          L"send SetAppName 1 \"\" send SetInfo 1 \"Out of memory\" await fault 1 90000",
                      L"--wait-for-user"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'Out of memory'")) << s.failure;

  const HWND dialog = s.WaitForDialog();
  ASSERT_NE(dialog, nullptr) << s.engine.OutputSoFar();
  EXPECT_EQ(WaitForProgress(dialog, 100), 100);
  EXPECT_EQ(WindowText(dialog), L"test_engine.exe - Out of memory");
  // The engine was answered and has ended; the handler still waits.
  ASSERT_TRUE(s.engine.Wait(kLongWait));
  EXPECT_EQ(s.engine.ExitCode(), kAccessViolation);
  EXPECT_TRUE(Contains(s.engine.OutputSoFar(), kResponse)) << s.engine.OutputSoFar();
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_TRUE(s.HandlerRunning());

  PostMessageW(dialog, WM_CLOSE, 0, 0);
  EXPECT_TRUE(s.WaitForNoDialog());
  EXPECT_EQ(s.HandlerResult(), 0);
}

TEST(CrashWindowEndToEnd, WithoutWaitingForTheUserTheWindowClosesByItself) {
  SKIP_WITHOUT_DISPLAY();
  TempFolder crashes(L"window-close");
  EngineSession s;
  ASSERT_TRUE(
      s.Start(CrashPathCommand(crashes) +
              L"send SetAppName 1 Game send SetInfo 1 closes await fault 0 90000 await terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'closes'")) << s.failure;

  // The window comes up while the crash is handled (writing the dump alone
  // keeps it there for a good while) ...
  const HWND dialog = s.WaitForDialog();
  ASSERT_NE(dialog, nullptr) << s.engine.OutputSoFar();
  ASSERT_TRUE(s.engine.WaitForOutput(kResponse, kLongWait)) << s.engine.OutputSoFar();
  // ... and goes away by itself: nothing else closes it. A window that is
  // no longer listed may still be on its way out for a moment.
  EXPECT_TRUE(s.WaitForNoDialog());
  for (const ULONGLONG end = GetTickCount64() + test::Scaled(10000);
       IsWindow(dialog) && GetTickCount64() < end;)
    Sleep(10);
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_TRUE(s.HandlerRunning());
  ASSERT_TRUE(s.Continue()) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  EXPECT_TRUE(Contains(s.engine.OutputSoFar(), "writing minidump")) << s.engine.OutputSoFar();
}

TEST(CrashWindowEndToEnd, WithTheDialogSwitchedOffNoWindowAppearsDuringTheCrash) {
  SKIP_WITHOUT_DISPLAY();
  TempFolder crashes(L"window-off");
  EngineSession s;
  // Waiting for the user would keep a window open, so none can slip by.
  ASSERT_TRUE(s.Start(
      CrashPathCommand(crashes) +
          L"send SetShowDialog 1 false send SetInfo 1 hidden await fault 0 90000 await terminate hang",
      L"--wait-for-user"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'hidden'")) << s.failure;

  bool seen = false;
  const ULONGLONG end = GetTickCount64() + test::Scaled(kLongWait);
  while (!Contains(s.engine.OutputSoFar(), kResponse) && GetTickCount64() < end) {
    seen = seen || DialogOf(s.handler_pid) != nullptr;
    Sleep(5);
  }
  ASSERT_TRUE(Contains(s.engine.OutputSoFar(), kResponse)) << s.engine.OutputSoFar();
  ASSERT_TRUE(s.Continue()) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  EXPECT_FALSE(seen);
  EXPECT_EQ(DialogOf(s.handler_pid), nullptr);
}

bool IsHash(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

TEST(CrashWindowEndToEnd, AfterAFatalCrashTheBugReporterGetsTheDumpAndTheCopiedFiles) {
  TempFolder crashes(L"reporter");
  TempFolder source(L"reporter-src");
  TempFolder records(L"reporter-out");
  test::WriteTextFile(source.path() + L"\\player.log", "log");
  test::WriteTextFile(source.path() + L"\\settings.ini", "ini");
  const std::wstring record = records.path() + L"\\args.txt";
  const std::wstring command = L"\"" + SiblingPath(L"args_recorder_probe.exe") + L"\" --out \"" + record +
                               L"\" --hash <crashReportHash> <attachFile:--file \"<file>\">";
  EngineSession s;
  // A report (and so a hash) needs the engine's report metadata. The window
  // is off: this test needs no display.
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) +
                      L"send SetMetaData 2 ReportJson {} send SetShowDialog 1 false " + L"send AddFile 2 " +
                      Quote(source.path() + L"\\player.log") + L" d send AddFile 2 " +
                      Quote(source.path() + L"\\settings.ini") + L" d send SetBugReporterAppPath 1 " +
                      Argument(command) + L" await fault 1 90000"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'SetBugReporterAppPath'")) << s.failure;

  // One started bug reporter is the session's result.
  EXPECT_EQ(s.HandlerResult(), 1) << s.engine.OutputSoFar();
  ASSERT_TRUE(s.engine.Wait(kLongWait));
  EXPECT_EQ(s.engine.ExitCode(), kAccessViolation);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_TRUE(Contains(out, kResponse)) << out;

  const auto folders = test::SubFolders(crashes.path());
  ASSERT_EQ(folders.size(), 1u) << out;
  const std::string folder = WideToUtf8(crashes.path() + L"\\" + folders[0]);
  const std::vector<std::string> lines = test::ReadArgsRecord(record, test::Scaled(kLongWait));
  ASSERT_EQ(lines.size(), 11u) << out;
  EXPECT_TRUE(IsHash(lines[3])) << lines[3];
  const std::vector<std::string> expected = {
      "--out",  WideToUtf8(record),        "--hash", lines[3],
      "--file", folder + "\\crash.dmp",    "--file", folder + "\\player.log",
      "--file", folder + "\\settings.ini", "end"};
  EXPECT_EQ(lines, expected) << out;
  EXPECT_EQ(test::ReadWholeFile(crashes.path() + L"\\" + folders[0] + L"\\settings.ini"), "ini");
}

}  // namespace
}  // namespace nelko
