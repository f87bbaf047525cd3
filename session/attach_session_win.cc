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

struct SessionArguments {
  bool terminate = false;
  bool wait_for_user = false;
  uint32_t process_id = 0;
  uint32_t address = 0;
};

// Flags first (they may stand anywhere), then exactly the program, the
// process id and the address, both decimal.
bool ParseArguments(int& count, wchar_t** vector, SessionArguments* out) {
  out->terminate = RemoveFlag(L"--terminate", count, vector);
  out->wait_for_user = RemoveFlag(L"--wait-for-user", count, vector);
  return count == 3 && ParseDecimalU32(vector[1], &out->process_id) &&
         ParseDecimalU32(vector[2], &out->address);
}

// What one session holds, declared in the reverse of the order of closing.
struct SessionObjects {
  ScopedHandle process;
  ScopedHandle crash_event;
  ScopedHandle response_event;
  ScopedHandle termination_event;
};

int32_t OpenSessionObjects(uint32_t process_id, SessionObjects* objects) {
  const int pid = static_cast<int>(process_id);
  objects->process.reset(OpenProcess(kWaitAccess, FALSE, process_id));
  if (!objects->process) {
    DiagPrintf("Couldn't attach to process PID %d\n", pid);
    return kSessionCannotOpenProcess;
  }
  objects->crash_event = CreateSessionEvent(kCrashEventNameFormat, process_id);
  objects->response_event = CreateSessionEvent(kResponseEventNameFormat, process_id);
  objects->termination_event = CreateSessionEvent(kTerminationEventNameFormat, process_id);
  if (!objects->crash_event || !objects->response_event || !objects->termination_event) {
    DiagPrintf("Couldn't create shared event for PID %d\n", pid);
    return kSessionCannotCreateEvent;
  }
  return 0;
}

DWORD DefaultWait(DWORD count, const HANDLE* handles) {
  return WaitForMultipleObjectsEx(count, handles, FALSE, INFINITE, FALSE);
}

BOOL DefaultExitCode(HANDLE process, DWORD* code) { return GetExitCodeProcess(process, code); }

// What ends the wait loop: the session's result, printed as the Part of the
// loop that ended it says.
int32_t EngineEnded(HANDLE process, int pid, const SessionHooks& hooks) {
  DWORD exit_code = 0;
  if (!hooks.exit_code(process, &exit_code)) {
    DiagPrintf("Process PID %d was terminated but exit code is not available.\n", pid);
    return kSessionNoExitCode;
  }
  DiagPrintf("Process PID %d exited with code %d\n", pid, static_cast<int>(exit_code));
  return 0;
}

int32_t ReaderEnded(MessageChannel& channel) {
  const DWORD reader_exit = StopChannel(channel);
  if (reader_exit == 0) return 0;
  DiagPrintf(
      "Inter-process communication between Nelko and the crash handler prematurely exited with code %d\n",
      static_cast<int>(reader_exit));
  return kSessionReaderFailed;
}

}  // namespace

int32_t RunAttachSession(int& count, wchar_t** vector, CrashPipeline pipeline,
                         const SessionHooks* test_hooks) {
  SessionHooks hooks;
  hooks.wait = &DefaultWait;
  hooks.exit_code = &DefaultExitCode;
  if (test_hooks != nullptr && test_hooks->wait != nullptr) hooks.wait = test_hooks->wait;
  if (test_hooks != nullptr && test_hooks->exit_code != nullptr) hooks.exit_code = test_hooks->exit_code;

  SessionArguments arguments;
  if (!ParseArguments(count, vector, &arguments)) return Usage(count > 0 ? vector[0] : nullptr);
  const uint32_t process_id = arguments.process_id;
  const int pid = static_cast<int>(process_id);

  SessionObjects objects;
  if (const int32_t failed = OpenSessionObjects(process_id, &objects)) return failed;
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

  // Every way out of the loop sets the result; the channel is stopped once,
  // below (ReaderEnded stops it itself to read the reader's exit code).
  int32_t result = 0;
  bool channel_stopped = false;
  for (bool watching = true; watching;) {
    const HANDLE waits[4] = {objects.process.get(), objects.crash_event.get(), channel.thread.get(),
                             objects.termination_event.get()};
    const DWORD which = hooks.wait(4, waits);
    watching = false;
    switch (which) {
      case WAIT_OBJECT_0:
        result = EngineEnded(objects.process.get(), pid, hooks);
        break;
      case WAIT_OBJECT_0 + 1: {
        // An engine writes its last log lines, files and metadata and then
        // signals at once: they belong in this crash's report.
        if (!CatchUpWithPipe(channel) && WaitForSingleObject(channel.thread.get(), 0) == WAIT_TIMEOUT) {
          DiagPrintf(
              "Crash handler's message reader has not caught up with the engine's messages; "
              "handling the crash with what it has applied\n");
        }
        ScopedHandle full(OpenProcess(PROCESS_ALL_ACCESS, FALSE, process_id));
        if (!full) {
          DiagPrintf("Couldn't attach to process PID %d\n", pid);
          result = kSessionCannotOpenProcess;
          break;
        }
        result = pipeline(process_id, full.get(), arguments.address, *settings, arguments.terminate,
                          arguments.wait_for_user, objects.response_event.get());
        if (result == kSessionKeepWatching) {
          watching = true;  // commands keep arriving meanwhile
          break;
        }
        const DWORD reader_exit = StopChannel(channel);
        channel_stopped = true;
        if (reader_exit != 0)
          DiagPrintf("Warning: IPC thread exited with code %d.\n", static_cast<int>(reader_exit));
        break;
      }
      case WAIT_OBJECT_0 + 2:
        result = ReaderEnded(channel);
        channel_stopped = true;
        break;
      case WAIT_OBJECT_0 + 3:
        result = 0;
        break;
      case WAIT_FAILED:
        DiagPrintf("Waiting on crash event failed with code %d\n", static_cast<int>(GetLastError()));
        result = kSessionWaitFailed;
        break;
      default:
        DiagPrintf("Warning: Wait on crash event threw unexpected error: %d. GetLastError is %d.\n",
                   static_cast<int>(which), static_cast<int>(GetLastError()));
        result = kSessionWaitFailed;
        break;
    }
  }
  if (!channel_stopped) StopChannel(channel);
  return result;
}

}  // namespace nelko
