// The native builds (tests, fuzzers, benchmarks) have no CoCreateGuid or
// FILETIME clock; these give values of the same shape.
#include <chrono>
#include <random>

#include "report/report_id.h"

namespace nelko {

GuidBytes NewGuidBytes() {
  static std::mt19937_64 engine{std::random_device{}()};
  GuidBytes bytes;
  for (size_t i = 0; i < bytes.size(); i += 8) {
    uint64_t word = engine();
    for (size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
  }
  return bytes;
}

uint64_t SystemTimeAsFileTimeTicks() {
  using namespace std::chrono;
  const auto since_1970 = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  return (static_cast<uint64_t>(since_1970) + 11644473600000000ull) * 10;
}

}  // namespace nelko
