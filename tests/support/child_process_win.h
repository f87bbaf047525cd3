#pragma once
// Test support for Windows end-to-end tests: start a child process with a pipe
// on its standard input, capture its standard output and error, and read its
// exit code whole as Windows reports it (a shell under Wine sees only 8 bits).
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace nelko::test {

// Path of a file beside the running test program (the build puts every
// program of the project into one folder).
std::wstring SiblingPath(std::wstring_view file_name);

// `"text"` for a command line (no escaping: test paths hold no quotes).
std::wstring Quote(std::wstring_view text);

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Starts `command_line` with pipes on its standard input and output (error
  // goes to the same pipe). False when the process could not start.
  // With `in_job`, the child and every process it starts belong to a job
  // object: the test can count and list them, and they all end with the child
  // object.
  bool Start(const std::wstring& command_line, bool in_job = false);

  // Processes that ever belonged to the job, and those alive now.
  uint32_t JobTotalProcesses() const;
  std::vector<DWORD> JobProcessIds() const;

  bool WriteInput(const void* data, size_t size);
  bool WriteInput(std::string_view text) { return WriteInput(text.data(), text.size()); }
  void CloseInput();

  // Every time limit below is multiplied by the run's factor (time_scale.h).
  // True when the process ended within the time.
  bool Wait(DWORD timeout_ms);
  uint32_t ExitCode() const;

  // Everything the child wrote, so call it after Wait. Once the child ended it
  // stops when the pipe is empty, even if a process the child started still
  // holds the pipe; before, it waits (up to the time) for the pipe's end.
  std::string Output(DWORD timeout_ms = 10000);

  // True as soon as the output so far contains `text` (polls; for a child
  // that keeps running, such as one waiting for a debugger).
  bool WaitForOutput(std::string_view text, DWORD timeout_ms);

  // The output so far, without waiting.
  std::string OutputSoFar();

  void Kill();
  DWORD pid() const { return pid_; }
  HANDLE process() const { return process_; }

 private:
  static DWORD WINAPI ReaderMain(void* self);
  void ReadOutput();

  HANDLE process_ = nullptr;
  HANDLE input_ = nullptr;
  HANDLE output_ = nullptr;
  DWORD pid_ = 0;
  HANDLE reader_ = nullptr;
  HANDLE job_ = nullptr;
  std::mutex mutex_;
  std::string output_text_;
};

// The command line another process was started with (read from its process
// parameters); empty when it cannot be read.
std::wstring ReadProcessCommandLine(DWORD pid);

// The exit code RunChild reports for a child that never started: no program
// exits with it by itself, so a test expecting 0 cannot pass without a child.
constexpr uint32_t kChildNotStarted = 0xFFFFFFFFu;

struct ChildResult {
  bool started = false;
  bool timed_out = false;
  uint32_t exit_code = kChildNotStarted;
  std::string output;
};

// Runs a command to its end: writes `input`, closes standard input, waits.
// A child still running at the time limit is killed and reported as timed out.
// A child that could not start has exit code kChildNotStarted and its output
// says so.
ChildResult RunChild(const std::wstring& command_line, std::string_view input = {}, DWORD timeout_ms = 60000);

}  // namespace nelko::test
