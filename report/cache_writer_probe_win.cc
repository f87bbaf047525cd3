// Test-only program: a crash handler's cache writer that is stopped between
// the files of its report, so a test can kill it there:
//   cache_writer_probe <report path> <project id>
// Writes the gzip of {"appid":"<project id>"} as the report at that path; at
// the point between its files it prints "probe: between the files" and
// waits until it is killed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/text_win.h"
#include "report/gzip.h"
#include "report/report_cache.h"

namespace {

void StopHere(const std::string&) {
  std::printf("probe: between the files\n");
  std::fflush(stdout);
  for (;;) Sleep(1000);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 1;
  const std::string project = nelko::WideToUtf8(argv[2]);
  std::string gzip;
  if (!nelko::CompressGzip("{\"appid\":\"" + project + "\"}", &gzip)) return 2;
  nelko::SetCacheWriteSeamForTest(&StopHere);
  nelko::WriteCachedReport(nelko::WideToUtf8(argv[1]), gzip, project);
  std::printf("probe: written\n");
  return 3;
}
