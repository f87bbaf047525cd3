#pragma once
// What the managed runtime's read-failure callback hands back to the walk
// guard, and how a runtime-described frame is named.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nelko {
namespace OutOfProcessMono {

// The runtime could not read the engine's memory. The three values come from
// the runtime's failure callback (third, first, second); the stand-in runtime
// passes the remote address, the size and a reason code.
struct ReadException {
  uint32_t code = 0;
  uint32_t address = 0;
  uint32_t size = 0;
};

}  // namespace OutOfProcessMono

inline constexpr size_t kManagedNameSize = 1024;
inline constexpr const char* kManagedImageFallback = "Mono JIT Code";

// "Class.Method()" with "<unknown class>" / "<unknown method>" for empty
// names, cut to at most `max_bytes` bytes. A cut keeps the closing "()" and
// never splits a UTF-8 character, so a frame always reads as a call.
std::string ManagedFrameName(std::string_view class_name, std::string_view method_name, size_t max_bytes);

}  // namespace nelko
