// Arbitrary text as the engine's analytics crash file: the rewrite must not
// crash, and what it writes must itself be a file it rewrites to the same
// text (the value in place, everything else kept).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "report/analytics_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char kHash[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto rewritten = nelko::RewriteAnalyticsCrashText(text, kHash);
  if (!rewritten) return 0;
  if (rewritten->find(std::string("\"value\":\"") + kHash + "\"") == std::string::npos) std::abort();
  const auto again = nelko::RewriteAnalyticsCrashText(*rewritten, kHash);
  if (!again || *again != *rewritten) std::abort();
  return 0;
}
