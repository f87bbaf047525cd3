#pragma once
// Every wait of a test on another process (the handler, the test engine, a
// window) goes through Scaled: the figures in the tests are generous for
// wine64 on a loaded machine, and where each process runs several times
// slower (32-bit Wine in the emulated machine) the stage that runs the tests
// sets one factor for all of them in NELKO_TEST_TIME_SCALE.
#include <cstdint>
#include <cstdlib>

namespace nelko::test {

inline uint32_t TimeScale() {
  const char* text = std::getenv("NELKO_TEST_TIME_SCALE");
  const long factor = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
  return factor < 1 ? 1 : factor > 100 ? 100 : static_cast<uint32_t>(factor);
}

// `ms` times the factor; "for ever" (0xFFFFFFFF) stays so, and the product
// stops just below it.
inline uint32_t Scaled(uint32_t ms) {
  if (ms == 0xFFFFFFFFu) return ms;
  const uint64_t scaled = static_cast<uint64_t>(ms) * TimeScale();
  return scaled >= 0xFFFFFFFFu ? 0xFFFFFFFEu : static_cast<uint32_t>(scaled);
}

}  // namespace nelko::test
