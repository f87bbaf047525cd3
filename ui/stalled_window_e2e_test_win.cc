// End to end: the engine's release never waits on the progress window. A
// handler whose window thread stalls (through a seam, until the test lets it
// go: tools/stalled_window_handler) answers the crashed test engine
// while the thread still stands, and ends normally once it goes on.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/scoped_handle_win.h"
#include "capture/capture_test_files_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/dialog_window_win.h"
#include "tests/support/engine_session_win.h"
#include "tests/support/time_scale.h"

namespace nelko {
namespace {

using test::Quote;
using test::SiblingPath;
using test::TempFolder;

constexpr DWORD kLongWait = 90000;

size_t Find(const std::string& text, const std::string& what) { return text.find(what); }

// Crashes the engine under the stalling handler and checks the order of
// events: the dump, the line that the window was given up, the engine's
// answer, all while the window thread stands; then lets the thread go.
void CrashUnderAStalledWindow(const wchar_t* stall_at, const std::string& given_up) {
  TempFolder crashes(L"stalled-window");
  test::EngineSession s;
  const std::wstring handler = L"--handler " + Quote(SiblingPath(L"stalled_window_handler.exe")) +
                               L" --arg --stall-at --arg " + stall_at;
  ASSERT_TRUE(s.Start(L"send SetCrashReportPath 1 " + Quote(crashes.path()) +
                          L" send SetInfo 1 stalled await fault 0 90000 await terminate wait-handler 90000",
                      handler))
      << s.failure;
  ASSERT_TRUE(s.Continue("'stalled'")) << s.failure;

  ASSERT_TRUE(s.engine.WaitForOutput("engine: crash response received", kLongWait)) << s.engine.OutputSoFar();
  const std::string out = s.engine.OutputSoFar();
  const size_t stalled = Find(out, "stalled handler: window thread stalled");
  const size_t dump = Find(out, "writing minidump");
  const size_t line = Find(out, given_up);
  const size_t answered = Find(out, "engine: crash response received");
  ASSERT_NE(stalled, std::string::npos) << out;
  ASSERT_NE(dump, std::string::npos) << out;
  ASSERT_NE(line, std::string::npos) << out;
  EXPECT_LT(stalled, answered) << out;
  EXPECT_LT(dump, answered) << out;
  EXPECT_LT(line, answered) << out;
  // The thread is let go only now: the answer did not wait for it.
  EXPECT_EQ(Find(out, "stalled handler: window thread released"), std::string::npos) << out;

  const std::wstring event_name = L"NelkoTestReleaseWindow_" + std::to_wstring(s.handler_pid);
  const ScopedHandle release(OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name.c_str()));
  ASSERT_TRUE(release.valid());
  SetEvent(release.get());
  ASSERT_TRUE(s.engine.WaitForOutput("stalled handler: window thread released", kLongWait))
      << s.engine.OutputSoFar();
  // The window closes once its thread goes on, and the session ends as usual.
  ASSERT_TRUE(s.Continue()) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0) << s.engine.OutputSoFar();
  EXPECT_EQ(test::DialogOf(s.handler_pid), nullptr);
  EXPECT_TRUE(s.engine.WaitForOutput("engine: handler exited with code 0", kLongWait))
      << s.engine.OutputSoFar();
}

TEST(StalledWindowEndToEnd, AWindowThreadStalledBeforeItsWindowCameUpDoesNotHoldTheEngine) {
  SKIP_WITHOUT_DISPLAY();
  CrashUnderAStalledWindow(L"init", "The crash window did not come up within ");
}

TEST(StalledWindowEndToEnd, AWindowThreadStalledOnAProgressUpdateDoesNotHoldTheEngine) {
  SKIP_WITHOUT_DISPLAY();
  CrashUnderAStalledWindow(L"progress", "The crash window did not answer within ");
}

}  // namespace
}  // namespace nelko
