// RecordLogMessage throughput through a real anonymous pipe into the real
// handler (attached to this process, its diagnostic output sent to a file),
// against two readers that do nothing but take whole messages from the same
// kind of pipe: one with two exact reads per message (length, then payload),
// one with block reads that cuts messages out of its buffer. All three are
// fed by the same writer, the client library's RecordLogMessage, and started
// the same way (`<program> --attach <pid> <address>`), so only the reader
// differs between them.
//
// Usage: session_pipe_bench_win [messages] [rounds]
// The program also plays the two baseline readers when started with
// --reader-exact or --reader-block among its arguments.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/crash_handler_client_win.h"

namespace nelko::bench {
namespace {

// Messages sent before the clock starts: they block the writer until the
// reader has started and drains the pipe, so process start-up stays out of
// the timed part.
constexpr int kWarmUpMessages = 2000;

double NowSeconds() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// --- The baseline readers -------------------------------------------------

bool ReadExact(HANDLE pipe, char* buffer, size_t size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, static_cast<DWORD>(size), &got, nullptr) || got == 0) return false;
    buffer += got;
    size -= got;
  }
  return true;
}

uint32_t LengthAt(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 | static_cast<uint32_t>(u[2]) << 16 |
         static_cast<uint32_t>(u[3]) << 24;
}

// Both readers look at one byte of every payload, so the work is not
// optimised away, and end with the number of messages taken as exit code.
int ReadExactMessages(HANDLE pipe) {
  std::vector<char> payload;
  int messages = 0;
  unsigned sum = 0;
  char length[4];
  while (ReadExact(pipe, length, 4)) {
    const uint32_t n = LengthAt(length);
    if (n > 0x7FFFFFFF) break;
    payload.resize(n);
    if (n > 0 && !ReadExact(pipe, payload.data(), n)) break;
    sum += n > 0 ? static_cast<unsigned char>(payload[0]) : 0;
    ++messages;
  }
  return sum == 0 && messages > 0 ? -1 : messages;
}

int ReadBlockMessages(HANDLE pipe) {
  std::vector<char> buffer(64 * 1024);
  size_t begin = 0;
  size_t end = 0;
  int messages = 0;
  unsigned sum = 0;
  for (;;) {
    // Cut out every whole message in the buffer.
    while (end - begin >= 4) {
      const uint32_t n = LengthAt(buffer.data() + begin);
      if (n > 0x7FFFFFFF) return messages;
      if (end - begin - 4 < n) break;
      sum += n > 0 ? static_cast<unsigned char>(buffer[begin + 4]) : 0;
      begin += 4 + size_t{n};
      ++messages;
    }
    // Keep the partial message at the front; grow for one that cannot fit.
    std::memmove(buffer.data(), buffer.data() + begin, end - begin);
    end -= begin;
    begin = 0;
    if (end >= 4 && size_t{LengthAt(buffer.data())} + 4 > buffer.size())
      buffer.resize(size_t{LengthAt(buffer.data())} + 4);
    DWORD got = 0;
    if (!ReadFile(pipe, buffer.data() + end, static_cast<DWORD>(buffer.size() - end), &got, nullptr) ||
        got == 0)
      break;
    end += got;
  }
  return sum == 0 && messages > 0 ? -1 : messages;
}

// --- The writer and the runs ----------------------------------------------

// Log lines of the lengths an engine writes, cycled through by the writer.
std::vector<std::string> MakeLogLines() {
  return {
      "Loading scene 'Levels/Forest_03' (additive)",
      "Unloading 214 unused assets to reduce memory usage. Loaded objects now: 18233.",
      "Total: 12.481200 ms (FindLiveObjects: 0.901200 ms CreateObjectMapping: 0.310400 ms "
      "MarkObjects: 10.921800 ms  DeleteObjects: 0.347600 ms)",
      "Player spawned at (12.50, 0.00, -341.25)",
      "Shader 'Custom/Terrain' compiled for variant _NORMALMAP _FOG_EXP2 in 3.2 ms",
      "[Network] Received snapshot 88123 (1432 bytes, 3 entities changed)",
  };
}

struct Run {
  const char* name;
  double seconds = 0;      // first timed write until the reader process ended
  double drain = 0;        // closing the pipe until the reader process ended
  double cpu_seconds = 0;  // the reader process's CPU time over the timed part
  int taken = 0;           // messages the reader reported (baselines)
};

double CpuSeconds(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  auto to_100ns = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (to_100ns(kernel) + to_100ns(user)) * 1e-7;
}

std::wstring SiblingPath(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  const size_t slash = path.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? L"" : path.substr(0, slash + 1)) + name;
}

// Starts `program` through the client library, sends the warm-up and then
// `messages` log messages, closes the pipe and waits for the reader to end.
bool PlayRun(const std::wstring& program, const wchar_t* reader_flag, HANDLE output, int messages,
             const std::vector<std::string>& lines, Run* run) {
  client::CrashHandlerClient writer;
  client::StartOptions options;
  options.output = output;
  if (reader_flag != nullptr) options.extra_arguments.push_back(reader_flag);
  if (!writer.Start(program, options)) {
    std::fprintf(stderr, "cannot start %ls\n", program.c_str());
    return false;
  }
  uint64_t timestamp = 1733650000000ull;
  int frame = 0;
  auto send = [&](int i) {
    return writer.RecordLogMessage(lines[static_cast<size_t>(i) % lines.size()], timestamp + i, frame + i / 4,
                                   i % 3 == 0 ? 3 : 0);
  };
  for (int i = 0; i < kWarmUpMessages; ++i) {
    if (!send(i)) return false;
  }
  const double cpu_before = CpuSeconds(writer.handler_process());
  const double start = NowSeconds();
  for (int i = 0; i < messages; ++i) {
    if (!send(kWarmUpMessages + i)) {
      std::fprintf(stderr, "write failed after %d messages\n", i);
      return false;
    }
  }
  const double closed = NowSeconds();
  writer.ClosePipe();
  if (WaitForSingleObject(writer.handler_process(), 120000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "reader did not end\n");
    return false;
  }
  const double end = NowSeconds();
  run->seconds = end - start;
  run->drain = end - closed;
  run->cpu_seconds = CpuSeconds(writer.handler_process()) - cpu_before;
  DWORD code = 0;
  GetExitCodeProcess(writer.handler_process(), &code);
  run->taken = static_cast<int>(code);
  return true;
}

// Counts the handler's echo lines of RecordLogMessage in its output file:
// every message sent must have been taken and echoed.
long CountEchoLines(const std::wstring& path) {
  std::FILE* f = _wfopen(path.c_str(), L"rb");
  if (f == nullptr) return -1;
  std::string text;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), f)) > 0) text.append(chunk, got);
  std::fclose(f);
  const std::string echo = "Message payload [5]: 'RecordLogMessage' '";
  long count = 0;
  for (size_t at = text.find(echo); at != std::string::npos; at = text.find(echo, at + echo.size())) ++count;
  return count;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int RunBenchmark(int messages, int rounds) {
  const std::wstring self = SiblingPath(L"session_pipe_bench_win.exe");
  const std::wstring handler = SiblingPath(L"NelkoCrashHandler.exe");
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring output_path = std::wstring(temp) + L"session_pipe_bench_output.txt";
  const std::vector<std::string> lines = MakeLogLines();

  size_t bytes = 0;
  for (const std::string& line : lines) bytes += line.size();
  std::printf("%d messages a run after %d warm-up messages, %d rounds; log lines of %u bytes on average\n",
              messages, kWarmUpMessages, rounds, static_cast<unsigned>(bytes / lines.size()));

  const char* names[3] = {"exact reads", "block reads", "handler"};
  std::vector<double> rates[3], drains[3], cpu[3];
  for (int round = 0; round < rounds; ++round) {
    for (int kind = 0; kind < 3; ++kind) {
      SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
      HANDLE output = CreateFileW(output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (output == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot create the output file\n");
        return 1;
      }
      Run run;
      run.name = names[kind];
      const wchar_t* flag = kind == 0 ? L"--reader-exact" : kind == 1 ? L"--reader-block" : nullptr;
      const bool ok = PlayRun(kind == 2 ? handler : self, flag, output, messages, lines, &run);
      CloseHandle(output);
      if (!ok) return 1;
      const int expected = messages + kWarmUpMessages;
      if (kind < 2 && run.taken != expected) {
        std::fprintf(stderr, "%s took %d messages of %d\n", names[kind], run.taken, expected);
        return 1;
      }
      if (kind == 2) {
        const long echoed = CountEchoLines(output_path);
        if (echoed != expected) {
          std::fprintf(stderr, "the handler echoed %ld messages of %d (exit code %d)\n", echoed, expected,
                       run.taken);
          return 1;
        }
        if (run.taken != 0) {
          std::fprintf(stderr, "the handler ended with %d, not 0\n", run.taken);
          return 1;
        }
      }
      rates[kind].push_back(messages / run.seconds);
      drains[kind].push_back(run.drain * 1000);
      cpu[kind].push_back(run.cpu_seconds * 1e6 / messages);
      std::printf("round %d %-12s %9.0f messages/s  drain %6.1f ms  CPU %6.2f us/message\n", round + 1,
                  names[kind], messages / run.seconds, run.drain * 1000, run.cpu_seconds * 1e6 / messages);
      std::fflush(stdout);
    }
  }
  std::printf("\nmedians of %d rounds:\n", rounds);
  for (int kind = 0; kind < 3; ++kind) {
    std::printf("%-12s %9.0f messages/s  drain %6.1f ms  CPU %6.2f us/message\n", names[kind],
                Median(rates[kind]), Median(drains[kind]), Median(cpu[kind]));
  }
  std::vector<double> ratios;
  for (int round = 0; round < rounds; ++round) ratios.push_back(rates[2][round] / rates[1][round]);
  std::printf("handler / block reads: %.2f (median of the rounds' ratios)\n", Median(ratios));
  std::printf("handler / exact reads: %.2f\n", Median(rates[2]) / Median(rates[0]));
  return 0;
}

}  // namespace
}  // namespace nelko::bench

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reader-exact") == 0)
      return nelko::bench::ReadExactMessages(GetStdHandle(STD_INPUT_HANDLE));
    if (std::strcmp(argv[i], "--reader-block") == 0)
      return nelko::bench::ReadBlockMessages(GetStdHandle(STD_INPUT_HANDLE));
  }
  const int messages = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (messages <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: session_pipe_bench_win [messages] [rounds]\n");
    return 2;
  }
  return nelko::bench::RunBenchmark(messages, rounds);
}
