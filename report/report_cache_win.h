#pragma once
// Where the per-user report cache lives, and the cache's operations
// (report/report_cache.h) with UTF-16 paths.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/scoped_handle_win.h"
#include "report/cache_status.h"
#include "report/cached_report.h"
#include "report/md5.h"
#include "report/report_cache.h"

namespace nelko {

struct CrashReport;

// LocalLow, else the roaming application data folder when the system is too
// old to name LocalLow, else the temporary folder. Found once per process.
std::wstring GetCacheBaseFolder();
// GetCacheBaseFolder() + "\Nelko\CrashReports\" (ends with a backslash).
std::wstring GetCacheFolder();

// Where the base folder choice looks: the shell's two folder functions (null
// when the system lacks them) and the temporary folder.
using GetKnownFolderPathFn = HRESULT(WINAPI*)(REFGUID, DWORD, HANDLE, PWSTR*);
using GetFolderPathFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
struct CacheFolderSources {
  GetKnownFolderPathFn known_folder = nullptr;
  GetFolderPathFn folder_path = nullptr;
  std::wstring temp_folder;
};
std::wstring ChooseCacheBaseFolder(const CacheFolderSources& sources);
// base + "\Nelko\CrashReports\", with one backslash between them.
std::wstring CacheFolderUnder(std::wstring base);

// Reads the whole file (no sharing, below 4 GiB) and computes its salted
// digest; *bytes, when given, gets the file's bytes. False when unreadable.
bool ComputeReportDigest(const std::wstring& path, Md5::Digest* digest, std::string* bytes = nullptr);

// Writes the report file at path and its metadata file beside it. An
// existing report file is never replaced: that is kFailedToWrite with
// *name_taken set, so the caller can pick another name.
CacheStatus WriteCachedReport(const std::wstring& path, std::string_view data, std::string_view project_id,
                              bool* name_taken = nullptr);

// Reads and verifies the pair; on kOk fills *report, otherwise leaves it.
CacheStatus ReadCachedReport(const std::wstring& path, CachedReport* report);

// A cached pair held open without sharing from reading until deletion. While
// one upload run holds a report, another run cannot read it (it sees
// kMissingReport and leaves the files alone), so two runs that overlap never
// send the same report twice.
class HeldCachedReport {
 public:
  HeldCachedReport() = default;
  HeldCachedReport(const HeldCachedReport&) = delete;
  HeldCachedReport& operator=(const HeldCachedReport&) = delete;

  // As ReadCachedReport, keeping whichever of the two files it opened.
  CacheStatus Read(const std::wstring& path, CachedReport* report);
  // Deletes the report file, then its metadata file, through the open
  // files. True when both are gone.
  bool Delete();
  // Closes the files and leaves them in the cache.
  void Release();

 private:
  ScopedHandle report_file_;
  ScopedHandle metadata_file_;
};

// What the repair of a cache folder did with the files of one report.
struct CacheRepair {
  enum class Action {
    // A writer that stopped between its files had written both whole: its
    // report was put in place.
    kCompleted,
    // A report without metadata (a writer of an earlier version lost it):
    // the metadata was rebuilt from the report's own project id.
    kRebuiltMetadata,
    // Files that can never become a report to send: a writer's unfinished
    // files, a report without metadata that cannot be read, a refusal count
    // without its report.
    kRemoved,
  };
  Action action;
  std::wstring path;  // the file the line names
};

// Repairs what writers left in the cache folder, for upload mode to run
// before it lists the reports, so that no file waits there for ever and no
// report is ever sent half. The unfinished files of a writer are left alone
// while they are younger than `min_age_ms` (by their last write): the writer
// may still be at work. Files held open by another process are left alone.
std::vector<CacheRepair> RepairCachedReports(const std::wstring& folder, uint64_t min_age_ms);

// Removes a report's files (report, metadata, refusal count) unless another
// process holds the report; true when the report is gone.
bool RemoveCachedReport(const std::wstring& path);

// Every "*.json.gz" file of the cache folder (folders skipped), in the order
// the system enumerates them; nothing when the folder does not exist.
std::vector<std::wstring> ListCachedReports();
std::vector<std::wstring> ListCachedReportsIn(const std::wstring& folder);

// Serialises, compresses and stores a report in the cache folder; true when
// both files were written.
bool CacheReport(const CrashReport& report);
// The same into folder (ending with a backslash) under the given stamp;
// *path gets the report file written.
bool CacheReportAt(const CrashReport& report, const std::wstring& folder, const CacheTimeStamp& stamp,
                   std::wstring* path = nullptr);

}  // namespace nelko
