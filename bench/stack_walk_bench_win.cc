// stack_walk_bench_win [THREADS...]: for each count (default 16 and 64),
// starts the test engine with that many parked threads and times, in one run,
//   setup  the managed runtime, symbol engine and module list (CrashWalk)
//   walk   every engine thread walked into a report
//   dump   a bare MiniDumpWriteDump of the same engine (the baseline)
// and prints the ratio (setup + walk) / dump.
#include <windows.h>

#include <dbghelp.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "capture/crash_walk_win.h"
#include "report/crash_report.h"

namespace {

using nelko::ScopedHandle;

double NowMs() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring Sibling(const wchar_t* name) {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
  std::wstring path(buffer, n);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + name;
}

struct Engine {
  ScopedHandle process;
  uint64_t managed_context = 0;
};

bool StartEngine(int threads, Engine* engine) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
  ScopedHandle reader(read_end), writer(write_end);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  std::wstring command = L"\"" + Sibling(L"test_engine.exe") + L"\" --no-handler park " +
                         std::to_wstring(threads) + L" 0 0 hang";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  engine->process.reset(info.hProcess);
  writer.reset();
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (output.find("engine: all parked") == std::string::npos &&
         ReadFile(reader.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    output.append(buffer, got);
  }
  const size_t at = output.find("managed-context 0x");
  if (at == std::string::npos) return false;
  engine->managed_context = std::strtoull(output.c_str() + at + 18, nullptr, 16);
  return true;
}

std::vector<ScopedHandle> OpenThreads(DWORD pid) {
  std::vector<ScopedHandle> threads;
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == pid) {
      threads.emplace_back(OpenThread(0x004A, FALSE, entry.th32ThreadID));
    }
    entry.dwSize = sizeof(entry);
  }
  return threads;
}

double DumpMs(HANDLE process) {
  using WriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                    PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
  nelko::ScopedLibrary library(LoadLibraryW(L"dbghelp.dll"));
  auto write = reinterpret_cast<WriteDumpFn>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), "MiniDumpWriteDump")));
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + L"stack_walk_bench.dmp";
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const double start = NowMs();
  write(process, GetProcessId(process), file.get(), MiniDumpNormal, nullptr, nullptr, nullptr);
  const double elapsed = NowMs() - start;
  file.reset();
  DeleteFileW(path.c_str());
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {16, 64};
  const std::string stub = nelko::WideToUtf8(Sibling(L"managed_runtime_stub.dll"));
  for (int count : counts) {
    Engine engine;
    if (!StartEngine(count, &engine)) {
      std::printf("stack_walk_bench: engine did not start\n");
      return 1;
    }
    std::vector<ScopedHandle> threads = OpenThreads(GetProcessId(engine.process.get()));
    const double dump = DumpMs(engine.process.get());

    const double setup_start = NowMs();
    nelko::CrashWalk walk(engine.process.get(), stub, engine.managed_context);
    const double setup = NowMs() - setup_start;

    nelko::CrashReport report;
    walk.BeginReport(report, false);
    size_t frames = 0;
    int failed = 0;
    const double walk_start = NowMs();
    for (auto& thread : threads) {
      nelko::Thread record;
      if (!walk.WalkThread(thread.get(), record)) ++failed;
      frames += record.frames().size();
      report.native_crash.AddThread(record);
    }
    const double walking = NowMs() - walk_start;
    TerminateProcess(engine.process.get(), 0);
    std::printf(
        "threads %zu (parked %d): setup %.0f ms, walk %.0f ms (%zu frames, %d ended early), dump %.0f ms, "
        "ratio %.2f\n",
        threads.size(), count, setup, walking, frames, failed, dump, (setup + walking) / dump);
  }
  return 0;
}
