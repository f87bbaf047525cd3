#include "upload/upload_mode_win.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/decimal_parse.h"
#include "base/diag_output.h"
#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "report/report_cache_win.h"
#include "upload/upload_mode.h"

namespace nelko {
namespace {

void PrintRepairs(const std::vector<CacheRepair>& repairs) {
  for (const CacheRepair& repair : repairs) {
    const std::string path = WideToUtf8(repair.path);
    switch (repair.action) {
      case CacheRepair::Action::kCompleted:
        DiagPrintf("Completed %s, which a stopped crash handler left unfinished\n", path.c_str());
        break;
      case CacheRepair::Action::kRebuiltMetadata:
        DiagPrintf("Rebuilt the missing metadata of %s from the report\n", path.c_str());
        break;
      case CacheRepair::Action::kRemoved:
        DiagPrintf("Removed %s: no report to send can be made of it\n", path.c_str());
        break;
    }
  }
}

struct ListedReport {
  std::wstring path;
  uint64_t size = 0;
  uint64_t written = 0;
};

// Removes the oldest reports until the cache is within its bounds; the
// newest report always stays. Returns the reports left, oldest first.
std::vector<std::wstring> KeepWithinBounds(const std::vector<std::wstring>& paths,
                                           const UploadRunOptions& options) {
  std::vector<ListedReport> reports;
  uint64_t bytes = 0;
  for (const std::wstring& path : paths) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) continue;
    ListedReport report;
    report.path = path;
    report.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    report.written = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
    bytes += report.size;
    reports.push_back(std::move(report));
  }
  std::sort(reports.begin(), reports.end(), [](const ListedReport& a, const ListedReport& b) {
    return a.written != b.written ? a.written < b.written : a.path < b.path;
  });
  std::vector<std::wstring> kept;
  size_t count = reports.size();
  for (size_t i = 0; i < reports.size(); ++i) {
    const bool over = count > options.max_reports || bytes > options.max_bytes;
    if (over && i + 1 < reports.size() && RemoveCachedReport(reports[i].path)) {
      DiagPrintf("Removed %s: the report cache keeps %u reports and %u MiB at most\n",
                 WideToUtf8(reports[i].path).c_str(), static_cast<unsigned>(options.max_reports),
                 static_cast<unsigned>(options.max_bytes >> 20));
      --count;
      bytes -= reports[i].size;
      continue;
    }
    kept.push_back(reports[i].path);
  }
  return kept;
}

// The refusals of a report so far, as its refusal count file records them.
uint32_t ReadRefusals(const std::wstring& path) {
  ScopedHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  char text[16] = {};
  DWORD read = 0;
  if (!file || !ReadFile(file.get(), text, sizeof(text) - 1, &read, nullptr)) return 0;
  uint32_t count = 0;
  return ParseDecimalU32(text, &count) ? count : 0;
}

void WriteRefusals(const std::wstring& path, uint32_t count) {
  ScopedHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  const std::string text = std::to_string(count);
  DWORD written = 0;
  if (file) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// A refusal that sending again will not change: any 4xx but "time-out" and
// "too many requests", which ask to try later.
bool IsRefusal(uint32_t status) { return status >= 400 && status <= 499 && status != 408 && status != 429; }

}  // namespace

void UploadCachedReports(const std::wstring& folder, const UploadRunOptions& options) {
  const ULONGLONG start = GetTickCount64();
  PrintRepairs(RepairCachedReports(folder, options.unfinished_age_ms));
  const std::vector<std::wstring> report_paths = KeepWithinBounds(ListCachedReportsIn(folder), options);

  DiagPrintf("Found %u potential reports:\n", static_cast<unsigned>(report_paths.size()));
  size_t tried = 0;
  for (const std::wstring& path : report_paths) {
    const ULONGLONG spent = GetTickCount64() - start;
    if (spent >= options.run_limit_ms) break;
    ++tried;
    DiagPrintf(" .. %s: ", WideToUtf8(path).c_str());
    // Both files stay open, unshared, until they are deleted or this report
    // is done: another upload run meanwhile cannot read and send it again.
    HeldCachedReport held;
    CachedReport report;
    CacheStatus status = held.Read(path, &report);
    UploadAnswer answer;
    if (status == CacheStatus::kOk) {
      UploadOptions request = options.request;
      // No request outlasts the run.
      const auto left = static_cast<DWORD>(options.run_limit_ms - spent);
      request.limits.request_ms = std::min(request.limits.request_ms, left);
      status = UploadReport(report, options.base_url, request, &answer);
    }
    const std::wstring refusals = RefusalsPathFor(path);
    // A report that cannot be deleted is sent again by the next run; that is
    // not reported here.
    if (status == CacheStatus::kOk) {
      if (!options.keep && held.Delete()) DeleteFileW(refusals.c_str());
    } else if (IsRefusal(answer.http_status)) {
      const uint32_t count = ReadRefusals(refusals) + 1;
      if (count >= options.max_refusals && held.Delete()) {
        DeleteFileW(refusals.c_str());
        DiagPrintf("Gave up on the report: the server refused it %u times (last code %u); removed\n",
                   static_cast<unsigned>(count), static_cast<unsigned>(answer.http_status));
      } else {
        WriteRefusals(refusals, count);
      }
    }
    held.Release();
    DiagPrintf("%s\n", CacheStatusText(status));
  }
  if (tried < report_paths.size()) {
    DiagPrintf("Time limit of %u seconds reached: %u reports left for the next run\n",
               static_cast<unsigned>(options.run_limit_ms / 1000),
               static_cast<unsigned>(report_paths.size() - tried));
  }
  DiagPrintf("Done.\n");
}

int32_t RunUploadMode(int count, wchar_t** vector) {
  UploadRunOptions options;
  options.keep = RemoveFlag(L"--no-delete", count, vector);
  UploadCachedReports(GetCacheFolder(), options);
  return 0;
}

}  // namespace nelko
