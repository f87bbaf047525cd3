#include "app/handler_main_win.h"

#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/crash_handling_win.h"
#include "app/relaunch.h"
#include "base/abnormal_exit_win.h"
#include "base/command_line.h"
#include "base/diag_output.h"
#include "base/scoped_handle_win.h"
#include "base/startup.h"
#include "session/attach_session_win.h"
#include "upload/upload_mode.h"

namespace nelko {
namespace {

// Binds the diagnostic output to a new console. Any failure leaves the output
// as it was, silently.
void OpenConsole() {
  if (!AllocConsole()) return;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(out), _O_TEXT);
  if (fd == -1) return;
  std::FILE* stream = _fdopen(fd, "w");
  if (stream == nullptr) return;
  setvbuf(stream, nullptr, _IONBF, 1);
  // Later writes to the C runtime's stdout reach the console too.
  _dup2(fd, _fileno(stdout));
  SetDiagOutputStream(stream);
}

void Relaunch(int count, wchar_t** vector) {
  std::wstring line = BuildRelaunchCommandLine(count, vector, GetCommandLineW());
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    ScopedHandle process(info.hProcess);
    ScopedHandle thread(info.hThread);
  }
}

int32_t RunMode() {
  SetErrorMode(3);
  InstallAbnormalTerminationHandlers();

  int count = 0;
  ScopedLocalMemory<wchar_t*> arguments(CommandLineToArgvW(GetCommandLineW(), &count));
  wchar_t** vector = arguments.get();
  if (vector == nullptr) count = 0;

  if (vector != nullptr && RemoveFlag(L"--console", count, vector)) OpenConsole();

  if (vector != nullptr && RemoveFlag(L"--wait-for-debugger", count, vector) && IsDebuggerPresent() != 1) {
    DiagPrintf("[CRASH HANDLER] Waiting for debugger...\n");
    while (IsDebuggerPresent() != 1) Sleep(500);
  }

  int32_t result;
  if (vector != nullptr && RemoveFlag(L"--attach", count, vector)) {
    result = RunAttachSession(count, vector, &HandleCrash);
    if (result >= 0) Relaunch(count, vector);
  } else {
    result = RunUploadMode(count, vector);
  }
  return result;
}

}  // namespace

int32_t HandlerMain() {
  RunStartupEntries();
  int32_t result;
  const HRESULT hr = CoInitializeEx(nullptr, 0);
  if (FAILED(hr)) {
    DiagPrintf("CoInitializeEx failed with code 0x%0x\n", static_cast<unsigned>(hr));
    result = 1;
  } else {
    result = RunMode();
  }
  RunShutdownEntries();
  return result;
}

}  // namespace nelko
