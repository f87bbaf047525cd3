#pragma once
// Reading a report from bytes that come from outside (a cache folder, a
// collector's store, a file someone hands over) and describing it for a
// reader. Every failure is a message, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "report/crash_report.h"

namespace nelko::report_tool {

// Reports are a few hundred kilobytes; a stream that inflates beyond this is
// not one (or a compression bomb).
inline constexpr size_t kMaxReportBytes = 256u << 20;

// The text of one whole gzip member, at most max_bytes of it. False, with
// *why, for anything else: not gzip, truncated, corrupt, too large, or
// followed by further bytes.
bool Gunzip(std::string_view compressed, std::string* text, std::string* why,
            size_t max_bytes = kMaxReportBytes);

// The report a JSON text holds. False, with *why, when the text does not
// parse or is not a report (an object with the keys every report has).
bool ParseReport(std::string_view json, CrashReport* report, std::string* why);

// Milliseconds since 1970 as "YYYY-MM-DD hh:mm:ss.mmm UTC".
std::string FormatUtcTime(uint64_t milliseconds);

// The report as a reader wants it: application, version and platform; the
// report's id and time; the crashed thread with its first `frames` frames;
// the crash hash; the last `logs` log messages; the user metadata.
std::string DescribeReport(const CrashReport& report, size_t frames = 8, size_t logs = 5);

}  // namespace nelko::report_tool
