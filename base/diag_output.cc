#include "base/diag_output.h"

#include <atomic>
#include <cstdarg>

namespace nelko {
namespace {
std::atomic<std::FILE*> g_output{nullptr};
}  // namespace

void SetDiagOutputStream(std::FILE* stream) { g_output.store(stream); }

std::FILE* DiagOutputStream() { return g_output.load(); }

void DiagPrintf(const char* format, ...) {
  std::FILE* out = g_output.load();
  if (out == nullptr) {
    out = stdout;
    if (out == nullptr) return;
    g_output.store(out);
  }
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  std::fflush(out);
}

}  // namespace nelko
