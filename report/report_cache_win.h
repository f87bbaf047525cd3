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
