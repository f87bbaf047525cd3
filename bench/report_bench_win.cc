// The report workload timed in the Windows build (under Wine here):
// ToJson, CompressGzip and CacheReport on one report shape per run, against
// RapidJSON's own writer and one deflate call, then the process's peak
// memory. Usage: report_bench_win [typical|worst] [repetitions]
#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/report_workload.h"
#include "report/cached_report.h"
#include "report/gzip.h"
#include "report/report_cache_win.h"

namespace nelko::bench {
namespace {

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The median of repetitions, which shrugs off the odd slow run.
double MedianMs(int repetitions, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < repetitions; ++i) {
    const double start = NowMs();
    work();
    times.push_back(NowMs() - start);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void DeleteFolderFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + data.cFileName).c_str());
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

}  // namespace
}  // namespace nelko::bench

int main(int argc, char** argv) {
  using namespace nelko;
  using namespace nelko::bench;
  const bool worst = argc > 1 && std::strcmp(argv[1], "worst") == 0;
  const ReportShape& shape = worst ? kWorstReport : kTypicalReport;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : (worst ? 3 : 21);

  const double build_start = NowMs();
  auto report = MakeReport(shape);
  const double build_ms = NowMs() - build_start;
  const std::string text = report->ToJson();
  if (RenderWithRapidJsonWriter(*report) != text) {
    std::fprintf(stderr, "baseline text differs from ToJson\n");
    return 1;
  }
  std::string compressed;
  if (!CompressGzip(text, &compressed)) return 1;

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"nelko_report_bench\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  DeleteFolderFiles(folder);
  int attempt = 0;

  const double to_json = MedianMs(repetitions, [&] { report->ToJson(); });
  const double writer = MedianMs(repetitions, [&] { RenderWithRapidJsonWriter(*report); });
  const double gzip = MedianMs(repetitions, [&] {
    std::string out;
    CompressGzip(text, &out);
  });
  const double deflate = MedianMs(repetitions, [&] { DeflateOnce(text); });
  bool cached = true;
  const double cache = MedianMs(repetitions, [&] {
    // A fresh stamp each time: the cache never replaces a report.
    CacheTimeStamp stamp{2026, 1, 1, 0, 0, attempt / 1000, attempt % 1000};
    ++attempt;
    cached = CacheReportAt(*report, folder, stamp) && cached;
  });
  DeleteFolderFiles(folder);
  RemoveDirectoryW(folder.c_str());

  PROCESS_MEMORY_COUNTERS memory{};
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);

  std::printf("report %s: %zu threads x %zu frames, %zu log messages; JSON %zu bytes, gzip %zu bytes\n",
              shape.name, shape.threads, shape.frames_per_thread, shape.log_messages, text.size(),
              compressed.size());
  std::printf("median of %d runs (ms): build %.2f (once)\n", repetitions, build_ms);
  std::printf("  ToJson        %10.2f   RapidJSON writer %10.2f   ratio %.2f\n", to_json, writer,
              to_json / writer);
  std::printf("  CompressGzip  %10.2f   one deflate      %10.2f   ratio %.2f\n", gzip, deflate,
              gzip / deflate);
  std::printf("  CacheReport   %10.2f   (ToJson + gzip + two files%s)\n", cache, cached ? "" : ", FAILED");
  std::printf("peak private memory %.1f MiB, peak working set %.1f MiB\n",
              static_cast<double>(memory.PeakPagefileUsage) / (1024.0 * 1024.0),
              static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0));
  return cached ? 0 : 1;
}
