// crash_latency_bench_win [threads] [rounds]: how long a crashed engine
// waits for the handler (crash event set to response event seen, timed in
// the engine), against a bare MiniDumpWriteDump of the same engine, taken by
// this program in the same run. The engine sends report metadata, so every
// crash builds, walks and caches a report.
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

#include "report/report_cache_win.h"
#include "tests/support/child_process_win.h"

namespace {

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 16;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::vector<std::wstring> cached_before = nelko::ListCachedReports();

  nelko::test::ChildProcess engine;
  const std::wstring line =
      nelko::test::Quote(nelko::test::SiblingPath(L"test_engine.exe")) + L" --quiet-handler threads " +
      std::to_wstring(threads) +
      L" send SetMetaData 2 ReportJson {} send SetShowDialog 1 false sleep 500 latency " +
      std::to_wstring(rounds) + L" await terminate hang";
  if (!engine.Start(line, /*in_job=*/true)) {
    std::printf("the engine did not start\n");
    return 1;
  }
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
  for (int k = 0; k < rounds; ++k) {
    HANDLE file = CreateFileW(dump_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    MiniDumpWriteDump(process, engine.pid(), file, MiniDumpNormal, nullptr, nullptr, nullptr);
    const auto t1 = std::chrono::steady_clock::now();
    CloseHandle(file);
    dump_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
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
  std::printf("engine threads %d (+ main), rounds %d\n", threads, rounds);
  std::printf("crash-to-release median %.1f ms (of %zu)\n", handler, handler_ms.size());
  std::printf("bare MiniDumpWriteDump median %.1f ms\n", dump);
  std::printf("ratio %.2f\n", dump > 0 ? handler / dump : 0.0);
  std::printf("each crash-to-release:");
  for (double v : handler_ms) std::printf(" %.0f", v);
  std::printf(" ms\neach bare dump:");
  for (double v : dump_ms) std::printf(" %.0f", v);
  std::printf(" ms\n");
  return 0;
}
