// startup_bench_win [ROUNDS]: how long the handler takes from process start
// to its first wait on the engine, against an empty program of the same
// build (empty_program_win) started the same way, in the same run (default
// 20 rounds of each, taken in turns; medians).
//
// Both are timed from just before CreateProcessW to the first line that
// arrives on their output pipe: the empty program's "started", and the
// handler's "Process PID <pid> exited with code 0" which it writes when its
// first wait returns. The engine it is given has already ended (this
// program holds its handle, so its id stays valid), so that wait returns at
// once; what comes after it (one exit-code query and the line) is part of
// the handler's figure. The handler and the upload mode it starts after the
// session are ended with their job.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/host_figures_win.h"

namespace {

using nelko::bench::Median;
using nelko::bench::Sibling;

double NowMs() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Starts `command` in a job of its own that ends every process in it once
// closed, with pipes on its standard input and output, and returns the
// milliseconds until `text` appeared on its output (negative when it never
// did).
double TimeUntilOutput(std::wstring command, const std::string& text) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, in_read = nullptr, in_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0) || !CreatePipe(&in_read, &in_write, &inherit, 0))
    return -1;
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = out_write;
  PROCESS_INFORMATION info = {};
  const double start = NowMs();
  double elapsed = -1;
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                     &startup, &info)) {
    AssignProcessToJobObject(job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(out_write);
    out_write = nullptr;
    std::string output;
    char buffer[512];
    DWORD got = 0;
    while (output.find(text) == std::string::npos &&
           ReadFile(out_read, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
      output.append(buffer, got);
    }
    if (output.find(text) != std::string::npos) elapsed = NowMs() - start;
    TerminateJobObject(job, 0);
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  if (out_write != nullptr) CloseHandle(out_write);
  CloseHandle(out_read);
  CloseHandle(in_read);
  CloseHandle(in_write);
  CloseHandle(job);
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  // A game has windows, so its desktop is up when the handler starts (under
  // Wine the first program that needs one starts it, a process of its own).
  GetDesktopWindow();
  const std::string load_before = nelko::bench::LoadAverage();
  const std::wstring empty = L"\"" + Sibling(L"empty_program_win.exe") + L"\"";
  const std::wstring handler = L"\"" + Sibling(L"NelkoCrashHandler.exe") + L"\"";

  // An engine that has already ended, held open so that its id stays valid.
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION engine = {};
  std::wstring engine_line = empty;
  if (!CreateProcessW(nullptr, engine_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &engine)) {
    std::printf("startup_bench: no engine\n");
    return 1;
  }
  WaitForSingleObject(engine.hProcess, INFINITE);
  CloseHandle(engine.hThread);
  const std::string pid = std::to_string(engine.dwProcessId);

  std::vector<double> empty_ms, handler_ms;
  for (int round = 0; round < rounds; ++round) {
    const double e = TimeUntilOutput(empty, "started");
    const double h = TimeUntilOutput(handler + L" --attach " + std::wstring(pid.begin(), pid.end()) + L" 0",
                                     "Process PID " + pid + " exited with code");
    if (e < 0 || h < 0) {
      std::printf("startup_bench: round %d: a program did not say what it should (%.0f, %.0f)\n", round + 1,
                  e, h);
      return 1;
    }
    empty_ms.push_back(e);
    handler_ms.push_back(h);
  }
  CloseHandle(engine.hProcess);

  std::printf("load average before %s, after %s\n", load_before.c_str(), nelko::bench::LoadAverage().c_str());
  std::printf("empty program start median %.1f ms (of %d)\n", Median(empty_ms), rounds);
  std::printf("handler start to first wait median %.1f ms\n", Median(handler_ms));
  std::printf("ratio %.2f\n", Median(empty_ms) > 0 ? Median(handler_ms) / Median(empty_ms) : 0.0);
  std::printf("each empty:");
  for (double v : empty_ms) std::printf(" %.0f", v);
  std::printf(" ms\neach handler:");
  for (double v : handler_ms) std::printf(" %.0f", v);
  std::printf(" ms\n");
  return 0;
}
