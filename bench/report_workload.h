#pragma once
// The crash reports the report benchmarks time, and the baselines they are
// measured against.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "report/crash_report.h"

namespace nelko::bench {

struct ReportShape {
  const char* name;
  size_t threads;
  size_t frames_per_thread;
  size_t log_messages;
  size_t log_message_bytes;
};

// A typical crash of a game: 64 threads of 40 frames, 50 log messages.
constexpr ReportShape kTypicalReport{"typical", 64, 40, 50, 120};
// The most the limits let through at 1024 frames a thread: 1024 threads,
// with the log ring full of the longest messages.
constexpr ReportShape kWorstReport{"worst", 1024, 1024, 50, 1024};

// A report of that shape with realistic descriptive fields, module names,
// identities and a managed frame in every four.
std::unique_ptr<CrashReport> MakeReport(const ReportShape& shape);

// Baseline for ToJson: the same text streamed by RapidJSON's own writer
// straight from the records, without building a document tree.
std::string RenderWithRapidJsonWriter(const CrashReport& report);

// Baseline for CompressGzip: one deflate call over the bytes with the same
// gzip parameters. Empty on failure.
std::string DeflateOnce(std::string_view bytes);

}  // namespace nelko::bench
