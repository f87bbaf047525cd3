#pragma once
// Where a report's id and time come from. The text forms are portable; the
// sources of randomness and time are the system's (report_id_win.cc, and
// report_id_host.cc for the native test builds).
#include <array>
#include <cstdint>
#include <string>

namespace nelko {

using GuidBytes = std::array<uint8_t, 16>;

// The 16 bytes of a GUID in memory order as 32 lowercase hex digits, each
// byte low digit first: 01 23 45 67 ... gives "10325476...". Existing
// reports and the service's records use this order, so it must not change.
std::string FormatReportId(const GuidBytes& guid);

// Milliseconds since 1970-01-01 for a system time in 100 ns ticks since
// 1601-01-01 (a FILETIME); 0 for a time before 1970.
uint64_t UnixMillisecondsFromFileTime(uint64_t file_time_ticks);

// A fresh random GUID, and the system time as 100 ns ticks since 1601.
GuidBytes NewGuidBytes();
uint64_t SystemTimeAsFileTimeTicks();

// FormatReportId of a fresh GUID.
std::string NewReportId();
// The current UTC time in milliseconds since 1970, the report's client_ts.
uint64_t CurrentReportTime();

}  // namespace nelko
