#pragma once
// The report tool's commands over UTF-8 arguments (the program name left
// out); what they print goes to *out, what went wrong to *err.
//
//   list [FOLDER]                       the cache's reports: file, project id,
//                                       size, time, whether the pair is sound
//   show FILE [--frames N] [--logs N]   one report, readably: a cached
//                                       .json.gz (its pair checked when the
//                                       .json.meta is beside it), a .gz a
//                                       collector received, or plain JSON
//   verify FILE                         checks a cached pair: the metadata,
//                                       the digest, and that the report reads
//
// Results: 0 done; 1 the input is not sound (unreadable, a broken pair, not
// gzip, not a report); 2 a usage error.
#include <string>
#include <vector>

namespace nelko::report_tool {

inline constexpr int kDone = 0;
inline constexpr int kUnsound = 1;
inline constexpr int kUsage = 2;

// default_cache: the folder `list` shows when given none (the user's report
// cache on Windows; empty elsewhere).
int RunReportTool(const std::vector<std::string>& args, const std::string& default_cache, std::string* out,
                  std::string* err);

}  // namespace nelko::report_tool
