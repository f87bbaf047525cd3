// report_tool natively: for cache folders and received reports copied here.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/report_tool/report_tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string out, err;
  const int result = nelko::report_tool::RunReportTool(args, "", &out, &err);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fwrite(err.data(), 1, err.size(), stderr);
  return result;
}
