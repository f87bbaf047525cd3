// stack_walk_bench_win [THREADS] [ROUNDS]: the stack walk of crash processing
// over a real engine with THREADS (default 256) threads parked in call chains
// of 10 to 40 frames, walked with the stand-in managed runtime asked about
// every frame. Each round (default 5) times, in one run:
//   setup     a new CrashWalk: managed runtime, symbol engine, module list
//   first 64  the first 64 threads, on that walker (each module's symbols
//             load when its first frame is named)
//   64, all   the first 64 threads again, then all of them (warm)
//   floor     each thread suspended, its registers and the stack page at
//             its stack pointer read, resumed: the least any walk of a live
//             thread does (and a minidump does for every thread)
// and prints, with medians over the rounds:
//   per extra thread  (all - 64) / (THREADS - 64), warm, beside the floor
//   symbol set-up     setup + (first 64 - 64): everything paid once
// Wall clock and this process's CPU time (the Wine server's share of every
// call into another process is not in it).
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "bench/host_figures_win.h"
#include "capture/crash_walk_win.h"
#include "report/crash_report.h"

namespace {

using nelko::bench::Median;
using nelko::bench::Sibling;

using nelko::ScopedHandle;

constexpr int kFirstThreads = 64;
// Extra levels above the parked chain: with the chain and the system's own
// frames, threads of 10 to 40 frames.
constexpr int kMinDepth = 1;
constexpr int kMaxDepth = 31;

double NowMs() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double CpuMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
  };
  return ms(kernel) + ms(user);
}

unsigned long g_server = 0;  // this prefix's Wine server, when it can be found

struct Span {
  double wall = 0;
  double cpu = 0;
  double server = 0;  // the Wine server's CPU time meanwhile
};

template <class Body>
Span Time(Body body) {
  const double server = nelko::bench::LinuxCpuMs(g_server);
  const double wall = NowMs();
  const double cpu = CpuMs();
  body();
  return {NowMs() - wall, CpuMs() - cpu, nelko::bench::LinuxCpuMs(g_server) - server};
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
  std::wstring command = L"\"" + Sibling(L"test_engine.exe") + L"\" --no-handler park-varied " +
                         std::to_wstring(threads) + L" " + std::to_wstring(kMinDepth) + L" " +
                         std::to_wstring(kMaxDepth) + L" hang";
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
    if (entry.th32OwnerProcessID == pid) threads.emplace_back(OpenThread(0x004A, FALSE, entry.th32ThreadID));
    entry.dwSize = sizeof(entry);
  }
  return threads;
}

struct WalkCount {
  size_t frames = 0;
  size_t fewest = SIZE_MAX;
  size_t most = 0;
  int incomplete = 0;
};

// Suspends each thread, reads its registers and the stack page they point
// at, and resumes it.
void TouchThreads(HANDLE process, const std::vector<ScopedHandle>& threads) {
  for (const ScopedHandle& thread : threads) {
    if (SuspendThread(thread.get()) == static_cast<DWORD>(-1)) continue;
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    if (GetThreadContext(thread.get(), &context)) {
#if defined(__x86_64__)
      const uintptr_t stack = static_cast<uintptr_t>(context.Rsp);
#else
      const uintptr_t stack = context.Esp;
#endif
      char page[4096];
      SIZE_T got = 0;
      ReadProcessMemory(process, reinterpret_cast<void*>(stack & ~static_cast<uintptr_t>(4095)), page,
                        sizeof(page), &got);
    }
    ResumeThread(thread.get());
  }
}

WalkCount WalkThreads(nelko::CrashWalk& walk, const std::vector<ScopedHandle>& threads, size_t count) {
  WalkCount c;
  nelko::CrashReport report;
  walk.BeginReport(report, false);
  for (size_t i = 0; i < count && i < threads.size(); ++i) {
    nelko::Thread record;
    if (!walk.WalkThread(threads[i].get(), record)) ++c.incomplete;
    c.frames += record.frames().size();
    c.fewest = std::min(c.fewest, record.frames().size());
    c.most = std::max(c.most, record.frames().size());
    report.native_crash.AddThread(record);
  }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  const int parked = argc > 1 ? std::atoi(argv[1]) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (parked <= kFirstThreads || rounds < 1) {
    std::printf("usage: stack_walk_bench_win [THREADS > %d] [ROUNDS]\n", kFirstThreads);
    return 2;
  }
  const std::string load_before = nelko::bench::LoadAverage();
  g_server = nelko::bench::WineServerProcess();
  Engine engine;
  if (!StartEngine(parked, &engine)) {
    std::printf("stack_walk_bench: engine did not start\n");
    return 1;
  }
  const std::string stub = nelko::WideToUtf8(Sibling(L"managed_runtime_stub.dll"));
  std::vector<ScopedHandle> all = OpenThreads(GetProcessId(engine.process.get()));
  // The parked threads only, in the order the system lists them; the
  // engine's main thread (listed first) waits elsewhere.
  std::vector<ScopedHandle> threads;
  for (size_t i = 1; i < all.size(); ++i) threads.push_back(std::move(all[i]));
  const size_t total = threads.size();

  std::vector<double> setup_ms, setup_cpu, loads_ms, loads_cpu, per_thread_ms, per_thread_cpu, once_ms,
      floor_ms, floor_cpu, warm_ms, warm_cpu, warm_server, floor_server;
  WalkCount counted;
  for (int round = 0; round < rounds; ++round) {
    std::unique_ptr<nelko::CrashWalk> walk;
    const Span setup = Time([&] {
      walk = std::make_unique<nelko::CrashWalk>(engine.process.get(), stub, engine.managed_context);
    });
    const Span first = Time([&] { WalkThreads(*walk, threads, kFirstThreads); });
    const Span warm_first = Time([&] { WalkThreads(*walk, threads, kFirstThreads); });
    const Span warm_all = Time([&] { counted = WalkThreads(*walk, threads, total); });
    const Span floor = Time([&] { TouchThreads(engine.process.get(), threads); });
    const double extra = static_cast<double>(total - kFirstThreads);
    setup_ms.push_back(setup.wall);
    setup_cpu.push_back(setup.cpu);
    loads_ms.push_back(first.wall - warm_first.wall);
    loads_cpu.push_back(first.cpu - warm_first.cpu);
    once_ms.push_back(setup.wall + first.wall - warm_first.wall);
    per_thread_ms.push_back((warm_all.wall - warm_first.wall) / extra);
    per_thread_cpu.push_back((warm_all.cpu - warm_first.cpu) / extra);
    const double n = static_cast<double>(total);
    floor_ms.push_back(floor.wall / n);
    floor_cpu.push_back(floor.cpu / n);
    floor_server.push_back(floor.server / n);
    warm_ms.push_back(warm_all.wall / n);
    warm_cpu.push_back(warm_all.cpu / n);
    warm_server.push_back(warm_all.server / n);
    std::printf(
        "round %d: setup %.0f ms (cpu %.0f), first %d threads %.0f ms (cpu %.0f), again %.0f ms (cpu %.0f), "
        "all %zu %.0f ms (cpu %.0f), floor %.0f ms (cpu %.0f)\n",
        round + 1, setup.wall, setup.cpu, kFirstThreads, first.wall, first.cpu, warm_first.wall,
        warm_first.cpu, total, warm_all.wall, warm_all.cpu, floor.wall, floor.cpu);
    std::fflush(stdout);
  }
  TerminateProcess(engine.process.get(), 0);

  std::printf("engine threads walked %zu (parked %d, %zu to %zu frames, %zu in all, %d ended early)\n", total,
              parked, counted.fewest, counted.most, counted.frames, counted.incomplete);
  std::printf("load average before %s, after %s\n", load_before.c_str(), nelko::bench::LoadAverage().c_str());
  std::printf("medians of %d rounds:\n", rounds);
  std::printf("  setup (CrashWalk)           %8.1f ms  cpu %8.1f ms\n", Median(setup_ms), Median(setup_cpu));
  std::printf("  symbols loaded on first use %8.1f ms  cpu %8.1f ms\n", Median(loads_ms), Median(loads_cpu));
  std::printf("  symbol set-up in all        %8.1f ms\n", Median(once_ms));
  std::printf("  per extra thread            %8.3f ms  cpu %8.3f ms\n", Median(per_thread_ms),
              Median(per_thread_cpu));
  std::printf("  per thread, warm (all / %zu) %8.3f ms  cpu %8.3f ms, Wine server %.3f ms\n", total,
              Median(warm_ms), Median(warm_cpu), Median(warm_server));
  std::printf("  floor per thread            %8.3f ms  cpu %8.3f ms, Wine server %.3f ms\n", Median(floor_ms),
              Median(floor_cpu), Median(floor_server));
  std::printf("  per thread, warm, over floor %7.3f ms\n", Median(warm_ms) - Median(floor_ms));
  return 0;
}
