// crash_latency_bench_win [threads] [rounds]: how long a crashed engine
// waits for the handler (crash event set to response event seen, timed in
// the engine), against a bare MiniDumpWriteDump of the same engine, taken by
// this program in the same run. The engine parks `threads` threads (default
// 64) in call chains of 10 to 40 frames and names the stand-in managed
// runtime, and sends report metadata, so every crash builds a report, walks
// every thread with the runtime asked about each frame, and caches it.
// Beside the wall clock: the handler's CPU time per crash and this program's
// per bare dump (the Wine server's share of each call into another process
// is in neither).
#include <windows.h>
// after windows.h, which it needs
#include <dbghelp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "base/text_win.h"
#include "bench/host_figures_win.h"
#include "report/report_cache_win.h"
#include "tests/support/child_process_win.h"

namespace {

using nelko::bench::Median;

double CpuMs(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  auto ms = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
  };
  return ms(kernel) + ms(user);
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 64;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (threads < 1 || rounds < 1) {
    std::printf("usage: crash_latency_bench_win.exe [THREADS [ROUNDS]], both at least 1\n");
    return 2;
  }
  const std::vector<std::wstring> cached_before = nelko::ListCachedReports();
  const std::string load_before = nelko::bench::LoadAverage();

  nelko::test::ChildProcess engine;
  const std::wstring line = nelko::test::Quote(nelko::test::SiblingPath(L"test_engine.exe")) +
                            L" --quiet-handler send SetMetaData 2 ReportJson {} send SetShowDialog 1 false" +
                            L" send SetMonoPath 1 " + nelko::test::SiblingPath(L"managed_runtime_stub.dll") +
                            L" park-varied " + std::to_wstring(threads) +
                            L" 1 31 managed-context sleep 500 latency " + std::to_wstring(rounds) +
                            L" await terminate hang";
  if (!engine.Start(line, /*in_job=*/true)) {
    std::printf("the engine did not start\n");
    return 1;
  }
  // The handler's CPU time from here on is the crashes' (the engine sleeps
  // before the first).
  if (!engine.WaitForOutput("engine: all parked", 120000)) {
    std::printf("the engine did not park its threads:\n%s\n", engine.OutputSoFar().c_str());
    return 1;
  }
  // The handler's CPU time from here on is the crashes' (the engine sleeps
  // before the first); so is the Wine server's, which serves every call the
  // handler makes into the engine.
  const unsigned long handler_linux =
      nelko::bench::FindLinuxProcess(nelko::WideToUtf8(nelko::test::SiblingPath(L"NelkoCrashHandler.exe")),
                                     "--attach " + std::to_string(engine.pid()) + " ");
  const unsigned long server = nelko::bench::WineServerProcess();
  const double handler_cpu_before = nelko::bench::LinuxCpuMs(handler_linux);
  const double server_cpu_before = nelko::bench::LinuxCpuMs(server);
  std::string out;
  for (int k = 0; k < rounds; ++k) {
    const std::string tag = "engine: crash-to-release ";
    for (;;) {
      out = engine.OutputSoFar();
      size_t seen = 0;
      for (size_t at = out.find(tag); at != std::string::npos; at = out.find(tag, at + 1)) ++seen;
      if (seen > static_cast<size_t>(k)) break;
      if (engine.Wait(50)) {
        std::printf("the engine ended early:\n%s\n", engine.OutputSoFar().c_str());
        return 1;
      }
    }
  }
  const double handler_cpu = (nelko::bench::LinuxCpuMs(handler_linux) - handler_cpu_before) / rounds;
  const double handler_server_cpu = (nelko::bench::LinuxCpuMs(server) - server_cpu_before) / rounds;
  std::vector<double> handler_ms;
  const std::string tag = "engine: crash-to-release ok ";
  for (size_t at = out.find(tag); at != std::string::npos; at = out.find(tag, at + 1)) {
    handler_ms.push_back(std::atof(out.c_str() + at + tag.size()));
  }

  // The engine now waits at its `await`: dump it as a bare handler would.
  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, engine.pid());
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring dump_path = std::wstring(temp) + L"nelko-latency-bench.dmp";
  std::vector<double> dump_ms;
  double dump_cpu = 0;
  const double dump_server_before = nelko::bench::LinuxCpuMs(server);
  for (int k = 0; k < rounds; ++k) {
    HANDLE file = CreateFileW(dump_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    const double cpu0 = CpuMs(GetCurrentProcess());
    const auto t0 = std::chrono::steady_clock::now();
    MiniDumpWriteDump(process, engine.pid(), file, MiniDumpNormal, nullptr, nullptr, nullptr);
    const auto t1 = std::chrono::steady_clock::now();
    dump_cpu += CpuMs(GetCurrentProcess()) - cpu0;
    CloseHandle(file);
    dump_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  dump_cpu /= rounds;
  const double dump_server_cpu = (nelko::bench::LinuxCpuMs(server) - dump_server_before) / rounds;
  DeleteFileW(dump_path.c_str());
  CloseHandle(process);
  engine.WriteInput("g");
  engine.Kill();

  // The reports these crashes cached are not anyone's.
  const std::set<std::wstring> before(cached_before.begin(), cached_before.end());
  for (const std::wstring& path : nelko::ListCachedReports()) {
    if (before.count(path) != 0) continue;
    DeleteFileW(path.c_str());
    DeleteFileW((path.substr(0, path.size() - 3) + L".meta").c_str());
  }

  const double handler = Median(handler_ms);
  const double dump = Median(dump_ms);
  std::printf("engine threads %d parked (+ main), rounds %d\n", threads, rounds);
  std::printf("load average before %s, after %s\n", load_before.c_str(), nelko::bench::LoadAverage().c_str());
  std::printf("crash-to-release median %.1f ms (of %zu); cpu a crash: handler %.0f ms, Wine server %.0f ms\n",
              handler, handler_ms.size(), handler_cpu, handler_server_cpu);
  std::printf(
      "bare MiniDumpWriteDump median %.1f ms; cpu a dump: this program %.0f ms, Wine server %.0f ms\n", dump,
      dump_cpu, dump_server_cpu);
  std::printf("ratio %.2f\n", dump > 0 ? handler / dump : 0.0);
  std::printf("each crash-to-release:");
  for (double v : handler_ms) std::printf(" %.0f", v);
  std::printf(" ms\neach bare dump:");
  for (double v : dump_ms) std::printf(" %.0f", v);
  std::printf(" ms\n");
  return 0;
}
