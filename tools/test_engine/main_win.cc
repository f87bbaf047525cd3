// test_engine: plays the engine's side of the handler protocol from a script,
// so that end-to-end tests can drive every outcome of an attach session.
//
//   test_engine [--handler PATH] [--arg ARG]... [--terminate] [--wait-for-user]
//               [--quiet-handler] [--no-handler] STEP...
//
// With --no-handler no handler is started (for tests that open the engine
// themselves); the protocol steps then do nothing useful.
//
// Steps, run in order:
//   send NAME N P1..PN   a command with N parameters
//   raw HEX              bytes as given (framing included), e.g. raw ffffff7f
//   logs N               N RecordLogMessage messages
//   crash FATAL MS       fill the crash data block (FATAL 0 or 1), signal a
//                        crash and wait up to MS for the response
//                        (every MS that waits on the handler is multiplied
//                        by the run's factor, tests/support/time_scale.h)
//   terminate            signal a clean shut-down
//   close                close the engine's end of the pipe
//   await                read one byte from standard input (lets a test
//                        catch up, for example to open the handler process)
//   sleep MS
//   wait-handler MS      wait for the handler and print its exit code
//   exit CODE            end the engine at once with this exit code
//   hang                 keep running until killed
//   park N DEPTH REBASE  park N threads in known call chains, one whose
//                        managed lookup fails, and one DEPTH frames deep
//                        (none when 0); REBASE 1 loads the chains library
//                        away from its preferred base (park_step_win.h)
//   park-varied N MIN MAX  park N threads in chains of MIN to MAX extra
//                        levels (for benchmarks)
//   fault, corrupt, threads: crash scenarios, see
//                        crash_scenarios_win.h
//   managed-context, crash-parked: managed_steps_win.h
// Without an exit step the engine ends with 0 after the last step.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "client/crash_handler_client_win.h"
#include "tests/support/time_scale.h"
#include "tools/test_engine/crash_scenarios_win.h"
#include "tools/test_engine/managed_steps_win.h"
#include "tools/test_engine/park_step_win.h"

namespace {

using nelko::client::CrashHandlerClient;

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

std::string Narrow(const std::wstring& w) {
  std::string out;
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  out.resize(n);
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring DefaultHandlerPath() {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  std::wstring path(buffer, n);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + L"NelkoCrashHandler.exe";
}

int Usage() {
  Say("test_engine: bad script\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring handler = DefaultHandlerPath();
  nelko::client::StartOptions options;
  bool quiet = false;
  bool no_handler = false;
  int i = 1;
  for (; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--handler" && i + 1 < argc) {
      handler = argv[++i];
    } else if (a == L"--arg" && i + 1 < argc) {
      options.extra_arguments.push_back(argv[++i]);
    } else if (a == L"--terminate") {
      options.terminate = true;
    } else if (a == L"--wait-for-user") {
      options.wait_for_user = true;
    } else if (a == L"--quiet-handler") {
      quiet = true;
    } else if (a == L"--no-handler") {
      no_handler = true;
    } else {
      break;
    }
  }
  HANDLE null_output = INVALID_HANDLE_VALUE;
  if (quiet) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    null_output = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    options.output = null_output;
  }

  CrashHandlerClient client;
  if (!no_handler) {
    if (!client.Start(handler, options)) {
      Say("engine: could not start the handler (%lu)\n", GetLastError());
      return 3;
    }
    Say("engine: handler pid %lu\n", client.handler_pid());
  }

  for (; i < argc; ++i) {
    const std::wstring step = argv[i];
    auto arg = [&](int k) -> std::wstring { return i + k < argc ? argv[i + k] : L""; };
    if (step == L"send") {
      const int n = _wtoi(arg(2).c_str());
      if (n < 0 || i + 2 + n >= argc) return Usage();
      std::vector<std::string> strings{Narrow(arg(1))};
      for (int k = 0; k < n; ++k) strings.push_back(Narrow(arg(3 + k)));
      std::vector<std::string_view> views(strings.begin(), strings.end());
      if (!client.SendCommand(views)) Say("engine: send failed\n");
      i += 2 + n;
    } else if (step == L"raw") {
      const std::string hex = Narrow(arg(1));
      std::string bytes;
      for (size_t k = 0; k + 1 < hex.size(); k += 2) {
        bytes.push_back(static_cast<char>(std::strtoul(hex.substr(k, 2).c_str(), nullptr, 16)));
      }
      if (!client.SendRaw(bytes.data(), bytes.size())) Say("engine: send failed\n");
      i += 1;
    } else if (step == L"logs") {
      const int n = _wtoi(arg(1).c_str());
      for (int k = 0; k < n; ++k) client.RecordLogMessage("log message " + std::to_string(k), k, k, 1);
      i += 1;
    } else if (step == L"crash") {
      const bool fatal = arg(1) == L"1";
      const DWORD ms = nelko::test::Scaled(static_cast<DWORD>(_wtoi(arg(2).c_str())));
      client.FillCrashDataBlock(GetCurrentThreadId(), 0xC0000005u, fatal);
      Say(client.SignalCrashAndWait(ms) ? "engine: crash response received\n"
                                        : "engine: no crash response\n");
      i += 2;
    } else if (step == L"terminate") {
      client.SignalTermination();
    } else if (step == L"close") {
      client.ClosePipe();
    } else if (step == L"await") {
      char byte = 0;
      DWORD got = 0;
      ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr);
    } else if (step == L"sleep") {
      Sleep(static_cast<DWORD>(_wtoi(arg(1).c_str())));
      i += 1;
    } else if (step == L"wait-handler") {
      const DWORD ms = nelko::test::Scaled(static_cast<DWORD>(_wtoi(arg(1).c_str())));
      if (WaitForSingleObject(client.handler_process(), ms) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(client.handler_process(), &code);
        Say("engine: handler exited with code %ld\n", static_cast<long>(code));
      } else {
        Say("engine: handler still running\n");
      }
      i += 1;
    } else if (step == L"exit") {
      std::fflush(stdout);
      ExitProcess(static_cast<UINT>(_wtoi(arg(1).c_str())));
    } else if (step == L"park") {
      if (!test_engine::ParkThreads(_wtoi(arg(1).c_str()), _wtoi(arg(2).c_str()), arg(3) == L"1")) return 4;
      i += 3;
    } else if (step == L"park-varied") {
      if (!test_engine::ParkVariedThreads(_wtoi(arg(1).c_str()), _wtoi(arg(2).c_str()),
                                          _wtoi(arg(3).c_str())))
        return 4;
      i += 3;
    } else if (step == L"hang") {
      for (;;) Sleep(1000);
    } else if (test_engine::RunCrashStep(client, argc, argv, i)) {
      // a crash scenario (crash_scenarios_win.h)
    } else if (test_engine::RunManagedStep(client, argc, argv, i)) {  // managed_steps_win.h
    } else {
      return Usage();
    }
  }
  if (null_output != INVALID_HANDLE_VALUE) CloseHandle(null_output);
  return 0;
}
