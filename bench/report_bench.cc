// Google Benchmark over the report workload (native build): the report
// streamed into gzip (ToJsonGzip) against RapidJSON's own writer into one
// text plus one deflate call over it; ToJson against that writer alone,
// CompressGzip against one deflate call.
// Compare the rows of one run; absolute times depend on the machine.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/report_workload.h"
#include "report/gzip.h"

namespace nelko::bench {
namespace {

const ReportShape& Shape(const benchmark::State& state) {
  return state.range(0) == 0 ? kTypicalReport : kWorstReport;
}

const CrashReport& Report(const ReportShape& shape) {
  static auto typical = MakeReport(kTypicalReport);
  static std::unique_ptr<CrashReport> worst;
  if (&shape == &kTypicalReport) return *typical;
  if (!worst) worst = MakeReport(kWorstReport);
  return *worst;
}

const std::string& Text(const ReportShape& shape) {
  static std::string typical;
  static std::string worst;
  std::string& text = &shape == &kTypicalReport ? typical : worst;
  if (text.empty()) {
    text = Report(shape).ToJson();
    // The baseline is only fair if it writes exactly the same text.
    if (RenderWithRapidJsonWriter(Report(shape)) != text) {
      std::fprintf(stderr, "baseline text differs from ToJson\n");
      std::abort();
    }
  }
  return text;
}

void SetBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.SetLabel(Shape(state).name);
}

void BM_ToJsonGzip(benchmark::State& state) {
  const CrashReport& report = Report(Shape(state));
  std::string compressed;
  for (auto _ : state) {
    if (!report.ToJsonGzip(&compressed)) state.SkipWithError("ToJsonGzip failed");
    benchmark::DoNotOptimize(compressed);
  }
  SetBytes(state, Text(Shape(state)).size());
}

void BM_WriterThenDeflateBaseline(benchmark::State& state) {
  const CrashReport& report = Report(Shape(state));
  for (auto _ : state) benchmark::DoNotOptimize(DeflateOnce(RenderWithRapidJsonWriter(report)));
  SetBytes(state, Text(Shape(state)).size());
}

void BM_ToJson(benchmark::State& state) {
  const CrashReport& report = Report(Shape(state));
  for (auto _ : state) benchmark::DoNotOptimize(report.ToJson());
  SetBytes(state, Text(Shape(state)).size());
}

void BM_RapidJsonWriterBaseline(benchmark::State& state) {
  const CrashReport& report = Report(Shape(state));
  for (auto _ : state) benchmark::DoNotOptimize(RenderWithRapidJsonWriter(report));
  SetBytes(state, Text(Shape(state)).size());
}

void BM_CompressGzip(benchmark::State& state) {
  const std::string& text = Text(Shape(state));
  std::string compressed;
  for (auto _ : state) {
    if (!CompressGzip(text, &compressed)) state.SkipWithError("CompressGzip failed");
    benchmark::DoNotOptimize(compressed);
  }
  SetBytes(state, text.size());
  state.counters["ratio"] = static_cast<double>(compressed.size()) / static_cast<double>(text.size());
}

void BM_DeflateOnceBaseline(benchmark::State& state) {
  const std::string& text = Text(Shape(state));
  for (auto _ : state) benchmark::DoNotOptimize(DeflateOnce(text));
  SetBytes(state, text.size());
}

// 0 = typical, 1 = worst case.
BENCHMARK(BM_ToJsonGzip)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriterThenDeflateBaseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToJson)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonWriterBaseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressGzip)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateOnceBaseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nelko::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory: %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
