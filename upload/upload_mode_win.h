#pragma once
// The loop of upload mode over a given list of cached reports, so tests can
// run it on a folder of their own against a server of their own.
#include <string>
#include <vector>

namespace nelko {

// Prints "Found %u potential reports:", then per report its path and the
// status text, and "Done.". Each report is read, posted to base_url and, when
// that succeeded and keep is false, deleted.
void UploadCachedReports(const std::vector<std::wstring>& report_paths, bool keep, const char* base_url);

}  // namespace nelko
