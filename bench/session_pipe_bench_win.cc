// session_pipe_bench_win [messages]: messages a second through the command
// pipe, the handler (echo to a file) against a baseline reader that only
// takes whole messages out of large blocks, both fed by the same writer.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/crash_handler_client_win.h"
#include "client/message_encoding.h"
#include "session/message_reader.h"

namespace {

class PipeSource : public nelko::ByteSource {
 public:
  explicit PipeSource(HANDLE h) : h_(h) {}
  bool Read(char* buffer, size_t size, size_t* got, uint32_t* error) override {
    DWORD n = 0;
    if (!ReadFile(h_, buffer, static_cast<DWORD>(size), &n, nullptr)) {
      *error = GetLastError();
      return false;
    }
    *got = n;
    return true;
  }
  HANDLE h_;
};

DWORD WINAPI BaselineReader(void* pipe) {
  PipeSource source(static_cast<HANDLE>(pipe));
  nelko::MessageReader reader(source);
  DWORD count = 0;
  while (reader.Next() == nelko::MessageReader::Status::kMessage) ++count;
  return count;
}

std::string Message(int i) {
  return nelko::client::EncodeMessage({"RecordLogMessage",
                                       "Frame " + std::to_string(i) + ": a typical log line of the engine",
                                       std::to_string(1000000 + i), std::to_string(i), "3"});
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 20000;

  // Baseline: the same writer (one WriteFile per message) into a block reader.
  HANDLE read_end = nullptr, write_end = nullptr;
  CreatePipe(&read_end, &write_end, nullptr, 0);
  const auto b0 = std::chrono::steady_clock::now();
  HANDLE thread = CreateThread(nullptr, 0, &BaselineReader, read_end, 0, nullptr);
  for (int i = 0; i < n; ++i) {
    const std::string m = Message(i);
    DWORD wrote = 0;
    WriteFile(write_end, m.data(), static_cast<DWORD>(m.size()), &wrote, nullptr);
  }
  CloseHandle(write_end);
  WaitForSingleObject(thread, INFINITE);
  const double baseline = Seconds(std::chrono::steady_clock::now() - b0);
  DWORD taken = 0;
  GetExitCodeThread(thread, &taken);
  CloseHandle(thread);
  CloseHandle(read_end);

  // The handler, its output going to a file.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring out_path = std::wstring(temp) + L"session_pipe_bench_out.txt";
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE out =
      CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  nelko::client::CrashHandlerClient client;
  nelko::client::StartOptions options;
  options.output = out;
  wchar_t self[MAX_PATH];
  const DWORD len = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring handler(self, len);
  handler = handler.substr(0, handler.find_last_of(L"\\/") + 1) + L"NelkoCrashHandler.exe";
  if (!client.Start(handler, options)) {
    std::printf("cannot start the handler\n");
    return 1;
  }
  client.SetLogBufferSize(50);
  const auto h0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    const std::string m = Message(i);
    client.SendRaw(m.data(), m.size());
  }
  client.ClosePipe();
  WaitForSingleObject(client.handler_process(), INFINITE);
  const double handled = Seconds(std::chrono::steady_clock::now() - h0);
  FILETIME created, exited, kernel, user;
  GetProcessTimes(client.handler_process(), &created, &exited, &kernel, &user);
  auto ticks = [](FILETIME f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  const double cpu = (ticks(kernel) + ticks(user)) / 1e7;
  CloseHandle(out);
  DeleteFileW(out_path.c_str());

  std::printf("messages: %d (baseline took %lu)\n", n, taken);
  std::printf("baseline block reader: %.0f messages/s\n", n / baseline);
  std::printf("handler with echo:     %.0f messages/s (includes handler exit)\n", n / handled);
  std::printf("ratio handler/baseline: %.2f\n", baseline / handled);
  std::printf("handler CPU per message: %.1f us\n", cpu * 1e6 / n);
  return 0;
}
