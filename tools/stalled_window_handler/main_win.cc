// Test-only program: a crash handler whose progress window stalls. It runs
// the real attach session and crash pipeline with the real window and bug
// reporter, but the window's thread stops at one point until the test lets
// it go, so a test can see what the pipeline does meanwhile:
//   stalled_window_handler --attach <pid> <address> --stall-at init|progress
// "init": the thread stops before its window is announced (Show waits);
// "progress": at the first progress message from the pipeline. It prints
// "stalled handler: window thread stalled" when it stops, and "... released"
// when the named event "NelkoTestReleaseWindow_<own pid>" lets it go (or
// after two minutes, scaled). No upload mode follows the session.
#include <objbase.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/command_line.h"
#include "base/scoped_handle_win.h"
#include "capture/process_crash_win.h"
#include "session/attach_session_win.h"
#include "tests/support/time_scale.h"
#include "ui/bug_reporter_win.h"
#include "ui/crash_dialog_win.h"

namespace {

UINT g_stall_message = 0;
HANDLE g_release = nullptr;
LONG g_stalled = 0;

void Stall(UINT message) {
  if (message != g_stall_message || InterlockedExchange(&g_stalled, 1) != 0) return;
  std::printf("stalled handler: window thread stalled\n");
  std::fflush(stdout);
  WaitForSingleObject(g_release, nelko::test::Scaled(120000));
  std::printf("stalled handler: window thread released\n");
  std::fflush(stdout);
}

int32_t Pipeline(uint32_t process_id, HANDLE process, uintptr_t address, nelko::SessionSettings& settings,
                 bool terminate, bool wait_for_user, HANDLE response_event) {
  nelko::CrashUserInterface user_interface;
  user_interface.dialog = &nelko::GetCrashDialog;
  user_interface.launch_bug_reporter = &nelko::LaunchBugReporter;
  return nelko::ProcessCrash(process_id, process, address, settings, terminate, wait_for_user, response_event,
                             user_interface);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring name = L"NelkoTestReleaseWindow_" + std::to_wstring(GetCurrentProcessId());
  const nelko::ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  g_release = release.get();
  int count = argc;
  g_stall_message = nelko::kCrashDialogSetProgress;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wstring(argv[i]) == L"--stall-at" && std::wstring(argv[i + 1]) == L"init")
      g_stall_message = WM_INITDIALOG;
  }
  nelko::RemoveFlag(L"--stall-at", count, argv);
  nelko::RemoveFlag(L"init", count, argv);
  nelko::RemoveFlag(L"progress", count, argv);
  nelko::SetCrashDialogThreadSeamForTest(&Stall);
  // Where every process runs slower, a window that is merely slow to come
  // up must not pass for a stalled one.
  nelko::CrashDialogWaits waits;
  waits.show_ms = nelko::test::Scaled(waits.show_ms);
  waits.answer_ms = nelko::test::Scaled(waits.answer_ms);
  waits.close_ms = nelko::test::Scaled(waits.close_ms);
  nelko::SetCrashDialogWaitsForTest(waits);
  if (FAILED(CoInitializeEx(nullptr, 0))) return 1;
  if (!nelko::RemoveFlag(L"--attach", count, argv)) return 2;
  const int32_t result = nelko::RunAttachSession(count, argv, &Pipeline);
  std::printf("stalled handler: session ended with %d\n", static_cast<int>(result));
  std::fflush(stdout);
  return static_cast<int>(result);
}
