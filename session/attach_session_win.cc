#include "session/attach_session_win.h"

#include <windows.h>

#include <cwchar>
#include <memory>

#include "base/command_line.h"
#include "base/decimal_parse.h"
#include "base/diag_output.h"
#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "session/command_handler.h"
#include "session/message_channel_win.h"

namespace nelko {
namespace {

constexpr DWORD kWaitAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
static_assert(kWaitAccess == 0x101000, "the engine is opened for waiting and nothing more");

int32_t Usage(const wchar_t* program) {
  DiagPrintf("Usage: %s <process ID> <shared region address>\n",
             WideToUtf8(program != nullptr ? program : L"").c_str());
  return kSessionUsage;
}

ScopedHandle CreateSessionEvent(const wchar_t* format, uint32_t process_id) {
  wchar_t name[kEventNameCapacity];
  std::swprintf(name, kEventNameCapacity, format, static_cast<unsigned>(process_id));
  // Opens the engine's event when the engine created it first.
  return ScopedHandle(CreateEventW(nullptr, FALSE, FALSE, name));
}

}  // namespace

int32_t RunAttachSession(int& count, wchar_t** vector, CrashPipeline pipeline) {
  const bool terminate = RemoveFlag(L"--terminate", count, vector);
  const bool wait_for_user = RemoveFlag(L"--wait-for-user", count, vector);
  if (count != 3) return Usage(count > 0 ? vector[0] : nullptr);
  uint32_t process_id = 0;
  uint32_t address = 0;
  if (!ParseDecimalU32(vector[1], &process_id) || !ParseDecimalU32(vector[2], &address))
    return Usage(vector[0]);
  const int pid = static_cast<int>(process_id);

  // Declared in the reverse of the order of closing at the end.
  ScopedHandle process(OpenProcess(kWaitAccess, FALSE, process_id));
  if (!process) {
    DiagPrintf("Couldn't attach to process PID %d\n", pid);
    return kSessionCannotOpenProcess;
  }
  ScopedHandle crash_event = CreateSessionEvent(kCrashEventNameFormat, process_id);
  ScopedHandle response_event = CreateSessionEvent(kResponseEventNameFormat, process_id);
  ScopedHandle termination_event = CreateSessionEvent(kTerminationEventNameFormat, process_id);
  if (!crash_event || !response_event || !termination_event) {
    DiagPrintf("Couldn't create shared event for PID %d\n", pid);
    return kSessionCannotCreateEvent;
  }
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!IsValidHandle(input)) {
    DiagPrintf("Invalid pipe specified for STDIN.\n");
    return kSessionNoStandardInput;
  }

  auto settings = std::make_unique<SessionSettings>();
  CommandHandler handler(*settings);
  MessageChannel channel;
  channel.input.reset(input);
  channel.handler = &handler;
  if (!StartChannel(channel)) {
    // Without a reader the engine's commands would fill the pipe and stall it.
    DiagPrintf(
        "Inter-process communication between Nelko and the crash handler prematurely exited with code %d\n",
        static_cast<int>(GetLastError()));
    return kSessionReaderFailed;
  }

  for (;;) {
    const HANDLE waits[4] = {process.get(), crash_event.get(), channel.thread.get(), termination_event.get()};
    const DWORD which = WaitForMultipleObjectsEx(4, waits, FALSE, INFINITE, FALSE);
    switch (which) {
      case WAIT_OBJECT_0: {
        DWORD exit_code = 0;
        int32_t result = 0;
        if (GetExitCodeProcess(process.get(), &exit_code)) {
          DiagPrintf("Process PID %d exited with code %d\n", pid, static_cast<int>(exit_code));
        } else {
          DiagPrintf("Process PID %d was terminated but exit code is not available.\n", pid);
          result = kSessionNoExitCode;
        }
        StopChannel(channel);
        return result;
      }
      case WAIT_OBJECT_0 + 1: {
        ScopedHandle full(OpenProcess(PROCESS_ALL_ACCESS, FALSE, process_id));
        if (!full) {
          DiagPrintf("Couldn't attach to process PID %d\n", pid);
          StopChannel(channel);
          return kSessionCannotOpenProcess;
        }
        const int32_t result = pipeline(process_id, full.get(), address, *settings, terminate, wait_for_user,
                                        response_event.get());
        if (result == kSessionKeepWatching) continue;  // commands keep arriving meanwhile
        const DWORD reader_exit = StopChannel(channel);
        if (reader_exit != 0)
          DiagPrintf("Warning: IPC thread exited with code %d.\n", static_cast<int>(reader_exit));
        return result;
      }
      case WAIT_OBJECT_0 + 2: {
        const DWORD reader_exit = StopChannel(channel);
        if (reader_exit != 0) {
          DiagPrintf(
              "Inter-process communication between Nelko and the crash handler prematurely exited with code "
              "%d\n",
              static_cast<int>(reader_exit));
          return kSessionReaderFailed;
        }
        return 0;
      }
      case WAIT_OBJECT_0 + 3:
        StopChannel(channel);
        return 0;
      case WAIT_FAILED: {
        const DWORD error = GetLastError();
        DiagPrintf("Waiting on crash event failed with code %d\n", static_cast<int>(error));
        StopChannel(channel);
        return kSessionWaitFailed;
      }
      default: {
        const DWORD error = GetLastError();
        DiagPrintf("Warning: Wait on crash event threw unexpected error: %d. GetLastError is %d.\n",
                   static_cast<int>(which), static_cast<int>(error));
        StopChannel(channel);
        return kSessionWaitFailed;
      }
    }
  }
}

}  // namespace nelko
