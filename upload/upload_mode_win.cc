#include "upload/upload_mode.h"

#include "base/command_line.h"
#include "base/diag_output.h"
#include "base/text_win.h"
#include "report/report_cache_win.h"
#include "upload/report_upload_win.h"
#include "upload/upload_endpoint.h"
#include "upload/upload_mode_win.h"

namespace nelko {

void UploadCachedReports(const std::vector<std::wstring>& report_paths, bool keep, const char* base_url) {
  DiagPrintf("Found %u potential reports:\n", static_cast<unsigned>(report_paths.size()));
  for (const std::wstring& path : report_paths) {
    DiagPrintf(" .. %s: ", WideToUtf8(path).c_str());
    // Both files stay open, unshared, until they are deleted or this report
    // is done: another upload run meanwhile cannot read and send it again.
    HeldCachedReport held;
    CachedReport report;
    CacheStatus status = held.Read(path, &report);
    if (status == CacheStatus::kOk) status = UploadReport(report, base_url);
    // A report that cannot be deleted is sent again by the next run; that is
    // not reported here.
    if (status == CacheStatus::kOk && !keep) held.Delete();
    held.Release();
    DiagPrintf("%s\n", CacheStatusText(status));
  }
  DiagPrintf("Done.\n");
}

int32_t RunUploadMode(int count, wchar_t** vector) {
  const bool keep = RemoveFlag(L"--no-delete", count, vector);
  UploadCachedReports(ListCachedReports(), keep, kUploadBaseUrl);
  return 0;
}

}  // namespace nelko
