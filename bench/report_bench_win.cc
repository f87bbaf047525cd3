// The report workload timed in the Windows build (under Wine here), one
// report shape per run: the report streamed into gzip (ToJsonGzip) and the
// whole cache step (CacheReport) with its peak memory; then the streaming
// baseline (RapidJSON's own writer into one text, then one deflate call over
// it) and the document tree the report was once cached through
// (CompressGzip(ToJson())), each checked to give the same bytes. Lines are
// printed as they are measured: the baselines hold the whole text, which a
// 32-bit process may not manage for the worst case, and what was measured
// before stays on the screen.
// Usage: report_bench_win [typical|worst] [repetitions]
#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <thread>
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

// The CPU time of this thread, user and kernel, in ms: on a machine shared
// with other work it shows what a step costs, where the wall clock also
// shows the waits for a core.
double ThreadCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 10000.0;
}

struct Timing {
  double wall_ms;  // the median, which shrugs off the odd slow run
  double cpu_ms;   // the mean: the clock behind it ticks coarsely
};

Timing Measure(int repetitions, const std::function<void()>& work) {
  std::vector<double> times;
  const double cpu_start = ThreadCpuMs();
  for (int i = 0; i < repetitions; ++i) {
    const double start = NowMs();
    work();
    times.push_back(NowMs() - start);
  }
  const double cpu_ms = (ThreadCpuMs() - cpu_start) / repetitions;
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], cpu_ms};
}

void PrintRow(const char* step, const Timing& timing, const char* what) {
  std::printf("  %-13s %10.2f %10.2f   %s\n", step, timing.wall_ms, timing.cpu_ms, what);
  std::fflush(stdout);
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

// The most private memory the process holds while work runs once. Windows
// keeps a true peak (PeakPagefileUsage) but only one for the whole process;
// Wine reports the current figure there, so a thread also samples it every
// millisecond while work runs.
double PeakPrivateMiB(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::atomic<size_t> peak{0};
  auto sample = [&] {
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    const size_t now = std::max<size_t>(memory.PagefileUsage, memory.PeakPagefileUsage);
    if (now > peak) peak = now;
  };
  std::thread sampler([&] {
    while (!done) {
      sample();
      Sleep(1);
    }
  });
  work();
  done = true;
  sampler.join();
  sample();
  return static_cast<double>(peak) / (1024.0 * 1024.0);
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
  std::string streamed;
  if (!report->ToJsonGzip(&streamed)) {
    std::printf("report %s: ToJsonGzip FAILED\n", shape.name);
    return 1;
  }
  std::printf("report %s: %zu threads x %zu frames, %zu log messages; gzip %zu bytes\n", shape.name,
              shape.threads, shape.frames_per_thread, shape.log_messages, streamed.size());
  std::printf("median of %d runs (ms): build %.2f (once)\n", repetitions, build_ms);
  std::fflush(stdout);

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"nelko_report_bench\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  DeleteFolderFiles(folder);
  int attempt = 0;

  std::printf("  %-13s %10s %10s\n", "step", "wall ms", "CPU ms");
  const Timing stream = Measure(repetitions, [&] {
    std::string out;
    report->ToJsonGzip(&out);
  });
  PrintRow("ToJsonGzip", stream, "the text streamed into deflate");
  bool cached = true;
  const Timing cache = Measure(repetitions, [&] {
    // A fresh stamp each time: the cache never replaces a report.
    CacheTimeStamp stamp{2026, 1, 1, 0, 0, attempt / 1000, attempt % 1000};
    ++attempt;
    cached = CacheReportAt(*report, folder, stamp) && cached;
  });
  PrintRow("CacheReport", cache, cached ? "ToJsonGzip + two files" : "ToJsonGzip + two files: FAILED");
  const double cache_peak = PeakPrivateMiB([&] {
    CacheTimeStamp stamp{2026, 1, 2, 0, 0, 0, 0};
    cached = CacheReportAt(*report, folder, stamp) && cached;
  });
  DeleteFolderFiles(folder);
  RemoveDirectoryW(folder.c_str());
  std::printf("peak private memory of one CacheReport, report included: %.1f MiB\n", cache_peak);
  std::fflush(stdout);

  try {
    // The streaming baseline: the least a renderer and deflate can do, with
    // the whole text in between.
    Timing writer{}, deflate{};
    size_t text_size = 0;
    {
      const std::string text = RenderWithRapidJsonWriter(*report);
      text_size = text.size();
      if (DeflateOnce(text) != streamed) {
        std::fprintf(stderr, "baseline bytes differ from ToJsonGzip\n");
        return 1;
      }
      writer = Measure(repetitions, [&] { RenderWithRapidJsonWriter(*report); });
      PrintRow("writer", writer, "baseline: RapidJSON's writer into one text");
      deflate = Measure(repetitions, [&] { DeflateOnce(text); });
      PrintRow("deflate", deflate, "baseline: one deflate call over that text");
    }
    std::printf("  ToJsonGzip against writer + deflate: %.2f wall, %.2f CPU (JSON %zu bytes)\n",
                stream.wall_ms / (writer.wall_ms + deflate.wall_ms),
                stream.cpu_ms / (writer.cpu_ms + deflate.cpu_ms), text_size);
    std::fflush(stdout);

    // The document tree, then the whole text compressed at once: how the
    // report was cached before it was streamed.
    std::string tree_gzip;
    const double tree_peak = PeakPrivateMiB([&] {
      if (!CompressGzip(report->ToJson(), &tree_gzip)) tree_gzip.clear();
    });
    if (tree_gzip != streamed) {
      std::fprintf(stderr, "CompressGzip(ToJson()) differs from ToJsonGzip\n");
      return 1;
    }
    std::printf("peak private memory of one tree + gzip, report included: %.1f MiB\n", tree_peak);
    const Timing tree = Measure(repetitions, [&] {
      std::string out;
      CompressGzip(report->ToJson(), &out);
    });
    PrintRow("tree + gzip", tree, "CompressGzip(ToJson()): the document tree, then one deflate");
    std::printf("  ToJsonGzip against tree + gzip: %.2f wall, %.2f CPU\n", stream.wall_ms / tree.wall_ms,
                stream.cpu_ms / tree.cpu_ms);
  } catch (const std::exception& e) {
    std::printf("  baselines not measured: %s\n", e.what());
  }
  return cached ? 0 : 1;
}
