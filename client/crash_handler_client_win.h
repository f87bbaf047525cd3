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

namespace nelko::client {

// Size of the crash data block the handler reads from the engine's memory.
constexpr size_t kCrashDataBlockSize = 1856;

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

  // The crash data block in this process's memory (kCrashDataBlockSize
  // bytes) and its address as the handler was told it.
  unsigned char* crash_data_block() { return block_; }
  uint32_t crash_data_block_address() const;
  // Fills the fields the handler checks: magic, process id, size, crashed
  // thread, exception code and the fatal flag.
  void FillCrashDataBlock(uint32_t crashed_thread_id, uint32_t exception_code, bool fatal);

  // Signals a crash and waits for the handler's response. True when the
  // response came within the time.
  bool SignalCrashAndWait(DWORD timeout_ms);
  // Tells the handler that the engine shuts down cleanly.
  bool SignalTermination();
  // Closes the engine's end of the pipe (the handler then ends its session).
  void ClosePipe();

  HANDLE handler_process() const { return process_; }
  DWORD handler_pid() const { return handler_pid_; }

 private:
  bool Write(const std::string& bytes);

  HANDLE pipe_ = nullptr;
  HANDLE process_ = nullptr;
  DWORD handler_pid_ = 0;
  HANDLE crash_event_ = nullptr;
  HANDLE response_event_ = nullptr;
  HANDLE termination_event_ = nullptr;
  unsigned char* block_ = nullptr;
  std::string scratch_;
};

}  // namespace nelko::client
