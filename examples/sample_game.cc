// A small game that reports its crashes through the Nelko crash handler:
// it starts the handler beside itself, tells it who it is, what it logged and
// which file to attach, and crashes in the way its command line names.
//
//   sample_game [KIND] [--reports FOLDER] [--wait-ms MS] [--go-on-input]
//               [--crash-before-start] [--handler-gone]
//
// KIND is one of crash_kinds.h; without one the game ends cleanly.
//   --reports FOLDER      where the handler makes each crash's folder
//   --wait-ms MS          how long a crash waits for the handler (60000)
//   --go-on-input         crash only after a byte arrives on standard input
//                         (so that a test can first see the handler take
//                         every command: it echoes them to the game's output)
//   --crash-before-start  crash before the handler is started
//   --handler-gone        end the handler, then crash
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/crash_catching_win.h"
#include "client/crash_handler_client_win.h"
#include "crash_kinds.h"

namespace {

uint64_t MillisecondsSince1970() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  return ticks / 10000 - 11644473600000ull;
}

// The game's own log, which the handler copies into the crash folder.
std::string WriteGameLog(std::string folder) {
  if (folder.empty()) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder = temp;
  }
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  const std::string path = folder + "sample_game_" + std::to_string(GetCurrentProcessId()) + ".log";
  if (FILE* log = std::fopen(path.c_str(), "w")) {
    std::fputs("Sample Game 1.0.0\nLevel 'Meadow' loaded\n", log);
    std::fclose(log);
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  std::string kind, reports;
  nelko::client::CrashHandlingOptions catching;
  catching.diagnostics = GetStdHandle(STD_ERROR_HANDLE);
  bool go_on_input = false, before_start = false, handler_gone = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--reports" && i + 1 < argc) {
      reports = argv[++i];
    } else if (a == "--wait-ms" && i + 1 < argc) {
      catching.response_timeout_ms = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--go-on-input") {
      go_on_input = true;
    } else if (a == "--crash-before-start") {
      before_start = true;
    } else if (a == "--handler-gone") {
      handler_gone = true;
    } else if (IsCrashKind(a)) {
      kind = a;
    } else {
      std::fprintf(stderr, "sample: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  PrepareCrash(kind);
  if (before_start && !kind.empty()) Crash(kind);

  // Integrating in five lines: start the handler (beside the game), say who
  // the game is, and catch every crash of the process from here on.
  nelko::client::CrashHandlerClient handler;
  if (!handler.Start(L"NelkoCrashHandler.exe")) return 1;
  handler.SetAppName("Sample Game");
  handler.SetMetaData("ReportJson",
                      R"({"appid":"sample-game","version":"1.0.0","platform":"WindowsPlayer"})");
  nelko::client::InstallCrashHandling(handler, catching);

  std::printf("sample: handler pid %lu\n", handler.handler_pid());
  std::fflush(stdout);

  // What a game tells the handler as it runs: its last log lines, its own
  // metadata, and files to attach.
  if (!reports.empty()) handler.SetCrashReportPath(reports);
  handler.SetLogBufferSize(16);
  const uint64_t now = MillisecondsSince1970();
  handler.RecordLogMessage("Sample Game 1.0.0 starting", now - 2000, 0, 3);
  handler.RecordLogMessage("Level 'Meadow' loaded", now - 1000, 60, 3);
  handler.RecordLogMessage("About to crash: " + (kind.empty() ? std::string("no") : kind), now, 120, 2);
  handler.SetUserMetaData("level", "Meadow");
  handler.AddFile(WriteGameLog(reports), "the game's log");

  if (go_on_input) {
    char byte = 0;
    DWORD got = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr);
  }
  if (handler_gone) {
    TerminateProcess(handler.handler_process(), 0);
    WaitForSingleObject(handler.handler_process(), INFINITE);
  }
  if (!kind.empty()) Crash(kind);

  // A clean end: the handler's session ends with the game.
  nelko::client::UninstallCrashHandling();
  handler.SignalTermination();
  return 0;
}
