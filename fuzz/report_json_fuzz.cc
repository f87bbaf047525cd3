// Arbitrary text read into a CrashReport, as the engine's "ReportJson" is:
// nothing may crash, the limits must hold, writing what was read must be
// stable (reading the written text back gives the same text), and the report
// streamed into gzip, as it is cached, must give the bytes of its whole text
// compressed at once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "report/crash_report.h"
#include "report/gzip.h"
#include "report/json_read.h"
#include "report/json_stream_write.h"

namespace {

void ReadInto(nelko::CrashReport& report, const std::string& text) {
  // Both flags on, so the nested records are read as well.
  report.hasNativeCrash = true;
  report.hasManagedException = true;
  nelko::JSONRead reader(text.c_str());
  report.Transfer(reader);
}

class StringSink : public nelko::JSONTextSink {
 public:
  bool Write(std::string_view piece) override {
    text.append(piece);
    return true;
  }
  std::string text;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  nelko::CrashReport report;
  ReadInto(report, text);
  if (report.native_crash.threads().size() > nelko::NativeCrash::kMaxThreads) std::abort();
  for (const nelko::Thread& thread : report.native_crash.threads()) {
    if (thread.frames().size() > nelko::Thread::kMaxFrames) std::abort();
  }
  const std::string written = report.ToJson();

  nelko::CrashReport again;
  ReadInto(again, written);
  if (again.ToJson() != written) std::abort();

  // Small pieces, so that escapes and numbers fall across their edges.
  StringSink sink;
  nelko::JSONStreamWrite streamed(sink, 7);
  report.Transfer(streamed);
  if (!streamed.Finish() || sink.text != written) std::abort();
  std::string whole;
  std::string gzip;
  if (!nelko::CompressGzip(written, &whole) || !report.ToJsonGzip(&gzip) || gzip != whole) std::abort();
  if (report.native_crash.ComputeHash().size() != 64) std::abort();
  return 0;
}
