#pragma once
// Test helper: the test engine with the real handler beside it. The engine
// waits at its first `await` until the test has opened the handler process,
// so the handler's exit code can be read however early it ends; each further
// `await` in the script waits for Continue.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/scoped_handle_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/time_scale.h"

namespace nelko::test {

class EngineSession {
 public:
  static constexpr DWORD kLongWait = 90000;

  ~EngineSession() {
    if (engine.process() != nullptr && !engine.Wait(0)) engine.Kill();
  }

  // On failure `failure` says which step failed, with the engine's output.
  bool Start(const std::wstring& script, const std::wstring& engine_options = L"") {
    const std::wstring line =
        Quote(SiblingPath(L"test_engine.exe")) + L" " + engine_options + L" await " + script;
    if (!engine.Start(line, /*in_job=*/true)) return Fail("the engine did not start");
    if (!engine.WaitForOutput("engine: handler pid ", kLongWait)) return Fail("no handler pid");
    if (!engine.WaitForOutput("\r\n", kLongWait)) return Fail("no end of line");
    const std::string out = engine.OutputSoFar();
    handler_pid = static_cast<DWORD>(std::stoul(out.substr(out.find("engine: handler pid ") + 20)));
    handler.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, handler_pid));
    if (!handler.valid()) return Fail("the handler could not be opened");
    return Continue();
  }

  // Lets the engine pass its next `await`, once the handler has echoed
  // `applied` (so the commands before it are in the settings).
  bool Continue(const std::string& applied = "") {
    if (!applied.empty() && !engine.WaitForOutput(applied, kLongWait)) return Fail("not applied: " + applied);
    return engine.WriteInput("g") || Fail("the engine's input is closed");
  }

  bool Fail(const std::string& why) {
    failure = why + "; engine output: " + engine.OutputSoFar();
    return false;
  }

  bool HandlerRunning() { return WaitForSingleObject(handler.get(), 0) == WAIT_TIMEOUT; }

  // The handler's exit code as a Windows parent sees it; -1 when it did not
  // end in time.
  int64_t HandlerResult() {
    if (WaitForSingleObject(handler.get(), Scaled(kLongWait)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(handler.get(), &code);
    return static_cast<int32_t>(code);
  }

  // The thread ids the engine reported as crashed, in order.
  std::vector<uint32_t> CrashedThreads() {
    std::vector<uint32_t> ids;
    const std::string out = engine.OutputSoFar();
    const std::string tag = "engine: crashed thread ";
    for (size_t at = out.find(tag); at != std::string::npos; at = out.find(tag, at + 1)) {
      ids.push_back(static_cast<uint32_t>(std::stoul(out.substr(at + tag.size()))));
    }
    return ids;
  }

  ChildProcess engine;
  std::string failure;
  ScopedHandle handler;
  DWORD handler_pid = 0;
};

}  // namespace nelko::test
