#pragma once
// The engine's side of the crash handler: start the handler beside the
// engine, tell it what to put into a crash report, and signal a crash or a
// clean shut-down. See docs/PROTOCOL.md for the protocol itself.
//
//   nelko::client::CrashHandlerClient handler;
//   if (handler.Start(L"C:\\Game\\NelkoCrashHandler.exe")) {
//     handler.SetAppName("My Game");
//     handler.SetLogBufferSize(50);
//     handler.RecordLogMessage("Level loaded", 1234, 10, 3);
//     ...
//     // in the engine's crash handler, after filling the crash data block:
//     handler.SignalCrashAndWait(INFINITE);
//     ...
//     handler.SignalTermination();  // clean shut-down
//   }
//
// One thread at a time may send commands (the pipe carries whole messages
// only when writes do not interleave); signalling may come from any thread.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/scoped_handle_win.h"
#include "client/crash_data_block_win.h"
#include "client/protocol.h"

namespace nelko::client {

struct StartOptions {
  bool terminate = false;      // --terminate: the handler ends the engine after a fatal crash
  bool wait_for_user = false;  // --wait-for-user: the crash window stays until the user closes it
  // Further arguments, appended as given (for example --console).
  std::vector<std::wstring> extra_arguments;
  // Where the handler's diagnostic output goes; null inherits the engine's.
  HANDLE output = nullptr;
};

class CrashHandlerClient {
 public:
  CrashHandlerClient();
  ~CrashHandlerClient();
  CrashHandlerClient(const CrashHandlerClient&) = delete;
  CrashHandlerClient& operator=(const CrashHandlerClient&) = delete;

  // Creates the three events and the crash data block, then starts
  // `<handler> --attach <pid> <address>` with the pipe on its standard input.
  // False when any step fails, or when a handler was started already.
  bool Start(const std::wstring& handler_path, const StartOptions& options = {});

  // The commands. Each returns false when the message could not be written
  // (the handler is gone, or a text holds a NUL byte).
  bool AddFile(std::string_view path, std::string_view description);
  bool RemoveFile(std::string_view path);
  bool SetIsEditor(bool is_editor);
  bool SetMetaData(std::string_view key, std::string_view value);
  bool SetUserMetaData(std::string_view key, std::string_view value);
  bool SetAppName(std::string_view name);
  bool SetVendor(std::string_view vendor);
  bool SetInfo(std::string_view info);
  bool SetShowDialog(bool show);
  bool SetBugReporterAppPath(std::string_view command_template);
  bool SetCrashReportPath(std::string_view path);
  bool SetAnalyticsCrashFilePath(std::string_view path);
  bool SetMonoPath(std::string_view path);
  bool SetLogBufferSize(uint32_t records);
  bool RecordLogMessage(std::string_view message, uint64_t timestamp, int32_t framecount, int32_t type);

  // Any message, for commands this library does not know yet.
  bool SendCommand(const std::vector<std::string_view>& strings);
  // Bytes as they are, framing included: for tests of the handler.
  bool SendRaw(const void* data, size_t size);

  // The crash data block in this process's memory (null before Start) and
  // its address as the handler was told it.
  CrashDataBlock* crash_data_block() { return static_cast<CrashDataBlock*>(block_.get()); }
  uint32_t crash_data_block_address() const;
  // The engine's managed runtime context: the value its out-of-process
  // exports take to describe managed frames. Every later FillCrashDataBlock
  // puts it into the block; 0 (the default) means no managed frames.
  void SetManagedContext(uintptr_t context) { managed_context_ = context; }
  // Fills the block for a crash of `crashed_thread_id`: magic, process id,
  // size, the managed context, the exception and its registers (either may
  // be null, leaving zeros), the exception code when no record is given, and
  // the fatal flag.
  void FillCrashDataBlock(uint32_t crashed_thread_id, uint32_t exception_code, bool fatal,
                          const EXCEPTION_RECORD* record = nullptr, const CONTEXT* context = nullptr);

  // Signals a crash and waits for the handler's response. True when the
  // response came within the time.
  bool SignalCrashAndWait(DWORD timeout_ms);
  // Tells the handler that the engine shuts down cleanly.
  bool SignalTermination();
  // Closes the engine's end of the pipe (the handler then ends its session).
  void ClosePipe();

  HANDLE handler_process() const { return process_.get(); }
  DWORD handler_pid() const { return handler_pid_; }

 private:
  bool Write(const std::string& bytes);

  ScopedHandle pipe_;
  ScopedHandle process_;
  DWORD handler_pid_ = 0;
  ScopedHandle crash_event_;
  ScopedHandle response_event_;
  ScopedHandle termination_event_;
  ScopedVirtualMemory block_;
  std::string scratch_;
  uintptr_t managed_context_ = 0;
};

}  // namespace nelko::client
