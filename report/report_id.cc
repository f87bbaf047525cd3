#include "report/report_id.h"

namespace nelko {

namespace {
// Milliseconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t kEpochDifferenceMs = 11644473600000ull;
constexpr uint64_t kTicksPerMs = 10000;
}  // namespace

std::string FormatReportId(const GuidBytes& guid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string id;
  id.reserve(guid.size() * 2);
  for (uint8_t byte : guid) {
    id.push_back(kDigits[byte & 0xF]);
    id.push_back(kDigits[byte >> 4]);
  }
  return id;
}

uint64_t UnixMillisecondsFromFileTime(uint64_t file_time_ticks) {
  const uint64_t ms = file_time_ticks / kTicksPerMs;
  // A clock set before 1970 would otherwise wrap to a time far in the future.
  return ms < kEpochDifferenceMs ? 0 : ms - kEpochDifferenceMs;
}

std::string NewReportId() { return FormatReportId(NewGuidBytes()); }

uint64_t CurrentReportTime() { return UnixMillisecondsFromFileTime(SystemTimeAsFileTimeTicks()); }

}  // namespace nelko
