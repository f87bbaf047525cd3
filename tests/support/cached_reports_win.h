#pragma once
// Test helper: the reports the handler cached for this Wine user, found by a
// text they hold, and taken out of the cache as they are read.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report/report_cache_win.h"
#include "tests/support/gunzip.h"

namespace nelko::test {

// The JSON of the cached reports holding `marker`, apart from those in
// `older`, which were there before; the report pairs are deleted as they are
// read.
inline std::vector<std::string> TakeCachedReports(const std::string& marker,
                                                  const std::vector<std::wstring>& older = {}) {
  std::vector<std::string> found;
  for (const std::wstring& path : ListCachedReports()) {
    if (std::find(older.begin(), older.end(), path) != older.end()) continue;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(file);
    const std::string json = Gunzip(bytes);
    if (json.find(marker) == std::string::npos) continue;
    found.push_back(json);
    DeleteFileW(path.c_str());
    const std::wstring meta = path.substr(0, path.size() - 3) + L".meta";  // .json.gz -> .json.meta
    DeleteFileW(meta.c_str());
  }
  return found;
}

// A text no other test's report holds.
inline std::string Marker(const char* test) {
  return std::string(test) + "-" + std::to_string(GetCurrentProcessId());
}

}  // namespace nelko::test
