// End to end: the real handler attached to the test engine through a real
// pipe and real named events.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/engine_session_win.h"
#include "tests/support/time_scale.h"

namespace nelko {
namespace {

using test::ChildProcess;
using test::Quote;
using test::RunChild;
using test::SiblingPath;

constexpr DWORD kLongWait = 30000;

using test::EngineSession;

size_t Find(const std::string& text, const std::string& what) { return text.find(what); }

// Processes of the engine's job that are the engine or a handler: Wine may
// start helpers of its own (its desktop) inside the job, still running when
// counted, which are neither.
// The processes that joined the engine's job, but for helpers of Wine's (its
// desktop process may start inside the job and end before a count afterwards
// could tell it apart). A process is named as it joins; one of ours may end
// before it could be named, a helper lives longer. *all lists them all, for a
// failure's message.
uint32_t EngineAndHandlers(ChildProcess& engine, std::string* all) {
  uint32_t count = 0;
  for (const std::wstring& image : engine.JobImages()) {
    const size_t slash = image.find_last_of(L'\\');
    const std::wstring name = slash == std::wstring::npos ? image : image.substr(slash + 1);
    if (image.empty() || name == L"test_engine.exe" || name == L"NelkoCrashHandler.exe") ++count;
    *all += WideToUtf8(image.empty() ? L"(ended before it was named)" : image) + "\n";
  }
  return count;
}

TEST(AttachSession, EngineExitEndsTheSessionWithZeroAndPrintsTheExitCode) {
  EngineSession s;
  ASSERT_TRUE(s.Start(L"exit 7")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string expected = "Process PID " + std::to_string(s.engine.pid()) + " exited with code 7";
  EXPECT_TRUE(s.engine.WaitForOutput(expected, kLongWait)) << s.engine.OutputSoFar();
}

TEST(AttachSession, TerminationEventEndsTheSessionWhileTheReaderIsBlocked) {
  EngineSession s;
  // The engine keeps its end of the pipe open, so the reader is blocked in a
  // read when the session stops it.
  ASSERT_TRUE(s.Start(L"terminate hang")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  EXPECT_FALSE(s.engine.Wait(0)) << "the engine must be left running";
  EXPECT_EQ(Find(s.engine.OutputSoFar(), "exited with code"), std::string::npos);
}

TEST(AttachSession, PipeClosedByTheEngineEndsTheSessionWithZeroAndNoMessage) {
  EngineSession s;
  ASSERT_TRUE(s.Start(L"close hang")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_EQ(Find(out, "prematurely"), std::string::npos) << out;
  EXPECT_EQ(Find(out, "exited with code"), std::string::npos) << out;
}

TEST(AttachSession, ALengthWordBeyondTheLimitEndsTheReaderWithAnError) {
  EngineSession s;
  ASSERT_TRUE(s.Start(L"raw ffffffff hang")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), -891);
  EXPECT_TRUE(s.engine.WaitForOutput(
      "Inter-process communication between Nelko and the crash handler prematurely exited with code",
      kLongWait))
      << s.engine.OutputSoFar();
}

TEST(AttachSession, AHugeAnnouncedMessageThatNeverArrivesDoesNotReserveMemory) {
  EngineSession s;
  // 2 GiB announced, a few bytes sent, then the pipe closes: the reader ends as
  // on a broken pipe, having held only what arrived.
  ASSERT_TRUE(s.Start(L"raw ffffff7f41424344 close hang")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
}

TEST(AttachSession, CommandsAreAppliedInOrderWhileTheSessionWaits) {
  EngineSession s;
  // Closing the pipe (rather than signalling termination, which may win the
  // race against unread messages) lets the reader take every message first.
  ASSERT_TRUE(
      s.Start(L"send SetAppName 1 Game send SetVendor 1 Maker send SetShowDialog 1 TRUE logs 2 close hang"));
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  const size_t app = Find(out, "Message payload [2]: 'SetAppName' 'Game' ");
  const size_t vendor = Find(out, "Message payload [2]: 'SetVendor' 'Maker' ");
  const size_t bad = Find(out, "Parameter for 'SetShowDialog' should be 'true' or 'false'");
  const size_t log = Find(out, "'RecordLogMessage' 'log message 1'");
  ASSERT_NE(app, std::string::npos) << out;
  ASSERT_NE(vendor, std::string::npos) << out;
  ASSERT_NE(bad, std::string::npos) << out;
  ASSERT_NE(log, std::string::npos) << out;
  EXPECT_LT(app, vendor);
  EXPECT_LT(vendor, bad);
  EXPECT_LT(bad, log);
}

TEST(AttachSession, CrashesTheEngineSurvivesKeepTheSessionWatching) {
  EngineSession s;
  ASSERT_TRUE(s.Start(L"crash 0 90000 crash 0 90000 send SetInfo 1 after close hang")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  // Both crashes were answered on the same events, and commands still arrive.
  const size_t first = Find(out, "engine: crash response received");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find("engine: crash response received", first + 1), std::string::npos) << out;
  EXPECT_NE(Find(out, "'SetInfo' 'after'"), std::string::npos) << out;
}

TEST(AttachSession, FlagsMayStandAmongTheNumbers) {
  EngineSession s;
  ASSERT_TRUE(s.Start(L"terminate hang", L"--terminate --wait-for-user")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
}

// Without an engine: the handler started directly with bad arguments.
int32_t RunHandler(const std::wstring& arguments, std::string* output = nullptr) {
  auto r = RunChild(Quote(SiblingPath(L"NelkoCrashHandler.exe")) + L" " + arguments, {}, kLongWait);
  if (output != nullptr) *output = r.output;
  return r.timed_out ? 1 : static_cast<int32_t>(r.exit_code);
}

TEST(AttachSession, BadArgumentsPrintTheUsageAndEndWithMinus900) {
  std::string out;
  EXPECT_EQ(RunHandler(L"--attach 12", &out), -900);
  EXPECT_NE(Find(out, "Usage: "), std::string::npos) << out;
  EXPECT_NE(Find(out, " <process ID> <shared region address>"), std::string::npos) << out;
  EXPECT_EQ(RunHandler(L"--attach 12 0x10"), -900);       // the address is decimal
  EXPECT_EQ(RunHandler(L"--attach 4294967296 1"), -900);  // beyond 32 bits
  EXPECT_EQ(RunHandler(L"--attach -1 1"), -900);
  EXPECT_EQ(RunHandler(L"--attach 1 2 3"), -900);
}

TEST(AttachSession, AProcessThatCannotBeOpenedEndsWithMinus899) {
  std::string out;
  EXPECT_EQ(RunHandler(L"--attach 0 0", &out), -899);
  EXPECT_NE(Find(out, "Couldn't attach to process PID 0"), std::string::npos) << out;
  // The largest process id parses, and names no process.
  EXPECT_EQ(RunHandler(L"--attach 4294967295 4294967295"), -899);
}

// The upload-mode relaunch, seen through the job that holds the engine and
// every process it starts.
TEST(AttachSession, ASessionEndingWithZeroStartsUploadModeInANewProcess) {
  EngineSession s;
  ASSERT_TRUE(s.Start(L"exit 0")) << s.failure;
  ASSERT_EQ(s.HandlerResult(), 0);
  // Engine, handler and the relaunched handler.
  std::string all;
  EXPECT_EQ(EngineAndHandlers(s.engine, &all), 3u) << all;
}

TEST(AttachSession, ANegativeResultStartsNoSecondProcess) {
  EngineSession s;
  ASSERT_TRUE(s.Start(L"raw ffffffff hang")) << s.failure;
  ASSERT_EQ(s.HandlerResult(), -891);
  std::string all;
  EXPECT_EQ(EngineAndHandlers(s.engine, &all), 2u) << all;
}

TEST(AttachSession, RelaunchPassesConsoleAndDebuggerFlagsFoundAnywhereInTheCommandLine) {
  // A folder whose name holds both flag texts: the first handler is given no
  // flag, yet its command line contains the texts, so the relaunch passes
  // both on (and the relaunched handler then waits for a debugger, which
  // keeps it alive to be looked at).
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder =
      std::wstring(temp) + L"nelko--console--wait-for-debugger-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring handler = folder + L"\\NelkoCrashHandler.exe";
  ASSERT_TRUE(CopyFileW(SiblingPath(L"NelkoCrashHandler.exe").c_str(), handler.c_str(), FALSE));

  {
    EngineSession s;
    ASSERT_TRUE(s.Start(L"terminate hang", L"--handler " + Quote(handler))) << s.failure;
    ASSERT_EQ(s.HandlerResult(), 0);
    std::wstring relaunched;
    for (int attempt = 0; attempt < 300 && relaunched.empty(); ++attempt) {
      for (DWORD pid : s.engine.JobProcessIds()) {
        if (pid == s.engine.pid() || pid == s.handler_pid) continue;
        // Wine's desktop process may have joined the job too.
        const std::wstring line = test::ReadProcessCommandLine(pid);
        if (line.find(L"NelkoCrashHandler.exe") != std::wstring::npos) relaunched = line;
      }
      if (relaunched.empty()) Sleep(100);
    }
    const std::wstring suffix = L"\" --console --wait-for-debugger ";
    ASSERT_GE(relaunched.size(), suffix.size());
    EXPECT_EQ(relaunched.substr(relaunched.size() - suffix.size()), suffix);
    EXPECT_EQ(relaunched.find(L"--attach"), std::wstring::npos);
    EXPECT_EQ(relaunched.find(L"\"" + handler + L"\" \"" + std::to_wstring(s.engine.pid()) + L"\" "), 0u);
  }  // the job, and the waiting handler with it, ends here
  for (int attempt = 0; attempt < 50 && !DeleteFileW(handler.c_str()); ++attempt) Sleep(100);
  RemoveDirectoryW(folder.c_str());
}

}  // namespace
}  // namespace nelko
