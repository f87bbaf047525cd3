// Bytes as the report tool meets them in a file: gzip or JSON, whole or
// broken. Nothing may crash; a text that reads as a report must describe
// itself, and the limits of the records must hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/report_tool/report_view.h"

namespace {

void ReadAndDescribe(std::string_view json) {
  nelko::CrashReport report;
  std::string why;
  if (!nelko::report_tool::ParseReport(json, &report, &why)) {
    if (why.empty()) std::abort();
    return;
  }
  if (report.native_crash.threads().size() > nelko::NativeCrash::kMaxThreads) std::abort();
  const std::string text = nelko::report_tool::DescribeReport(report, 4, 4);
  if (text.find("Application:") == std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ReadAndDescribe(bytes);
  std::string json, why;
  // A small limit keeps a compression bomb from taking the fuzzer's memory.
  if (nelko::report_tool::Gunzip(bytes, &json, &why, 1u << 22)) {
    ReadAndDescribe(json);
  } else if (why.empty()) {
    std::abort();
  }
  if (size >= 8) {
    uint64_t ms = 0;
    for (size_t i = 0; i < 8; ++i) ms = ms << 8 | data[i];
    if (nelko::report_tool::FormatUtcTime(ms).empty()) std::abort();
  }
  return 0;
}
