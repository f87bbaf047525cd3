#include <objbase.h>
#include <windows.h>

#include <cstring>

#include "report/report_id.h"

namespace nelko {

GuidBytes NewGuidBytes() {
  GUID guid{};
  // CoCreateGuid does not fail in practice; should it, the zero id still
  // makes a valid report, which beats losing the crash.
  if (FAILED(CoCreateGuid(&guid))) guid = GUID{};
  GuidBytes bytes;
  static_assert(sizeof(guid) == sizeof(bytes), "a GUID is 16 bytes");
  std::memcpy(bytes.data(), &guid, bytes.size());
  return bytes;
}

uint64_t SystemTimeAsFileTimeTicks() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace nelko
