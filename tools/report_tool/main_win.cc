// report_tool on Windows: UTF-16 arguments in, the user's report cache as
// the default folder of `list`.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text_win.h"
#include "report/report_cache_win.h"
#include "tools/report_tool/report_tool.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(nelko::WideToUtf8(argv[i]));
  std::string out, err;
  const int result =
      nelko::report_tool::RunReportTool(args, nelko::WideToUtf8(nelko::GetCacheFolder()), &out, &err);
  // Lines end as they were written (LF), whoever reads them.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fwrite(err.data(), 1, err.size(), stderr);
  std::fflush(stdout);
  std::fflush(stderr);
  return result;
}
