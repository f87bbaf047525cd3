#include "report/report_cache_win.h"

#include <shlobj.h>
#include <windows.h>

#include <exception>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "report/crash_report.h"

namespace nelko {
namespace {

// FOLDERID_LocalAppDataLow, spelled out so no GUID library is needed.
const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
constexpr int kCsidlAppData = 26;

template <class Fn>
Fn LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

CacheFolderSources SystemSources() {
  CacheFolderSources sources;
  static ScopedLibrary shell(LoadLibraryW(L"Shell32.dll"));
  if (shell) {
    sources.known_folder = LookUp<GetKnownFolderPathFn>(shell.get(), "SHGetKnownFolderPath");
    sources.folder_path = LookUp<GetFolderPathFn>(shell.get(), "SHGetFolderPathW");
  }
  wchar_t temp[261];
  const DWORD n = GetTempPathW(261, temp);
  if (n > 0 && n < 261) sources.temp_folder.assign(temp, n);
  return sources;
}

}  // namespace

std::wstring ChooseCacheBaseFolder(const CacheFolderSources& sources) {
  std::wstring folder = sources.temp_folder;
  if (sources.known_folder != nullptr) {
    PWSTR path = nullptr;
    if (SUCCEEDED(sources.known_folder(kLocalAppDataLow, 0, nullptr, &path)) && path != nullptr &&
        path[0] != L'\0') {
      folder = path;
    }
    CoTaskMemFree(path);
  } else if (sources.folder_path != nullptr) {
    wchar_t path[MAX_PATH] = {};
    const HRESULT result = sources.folder_path(nullptr, kCsidlAppData, nullptr, 0, path);
    if (SUCCEEDED(result) && result != S_FALSE && path[0] != L'\0') folder = path;
  }
  return folder;
}

// The held read of upload mode: both files stay open, unshared, from
// reading to deletion, so a second upload run can neither read nor delete them.
namespace {

// Opened with no sharing, so no writer (and no other upload run) can touch
// the file while it is open.
HANDLE OpenExclusive(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The whole open file in one read; 4 GiB or more fails.
bool ReadWholeFile(HANDLE file, std::string* bytes, uint64_t limit = 0xFFFFFFFFu, bool* too_large = nullptr) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0) return false;
  if (static_cast<uint64_t>(size.QuadPart) > limit) {
    if (too_large != nullptr) *too_large = true;
    return false;
  }
  try {
    bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
  } catch (const std::exception&) {
    // Beyond what a 32-bit process can hold (bad_alloc or length_error).
    return false;
  }
  if (bytes->empty()) return true;
  DWORD read = 0;
  return ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &read, nullptr) &&
         read == bytes->size();
}

// Reads and verifies a pair through files opened with `access`; the open
// files are left in *report_file and *metadata_file for the caller to hold.
CacheStatus ReadPair(const std::wstring& path, DWORD access, ScopedHandle* report_file,
                     ScopedHandle* metadata_file, CachedReport* report) {
  std::string data;
  report_file->reset(OpenExclusive(path, access));
  if (!*report_file || !ReadWholeFile(report_file->get(), &data)) return CacheStatus::kMissingReport;
  const Md5::Digest digest = DigestOfReportBytes(data);
  std::string metadata;
  bool too_large = false;
  metadata_file->reset(OpenExclusive(MetaPathFor(path), access));
  // A record beyond the accepted size is corrupt; no need to load it first.
  if (!*metadata_file || !ReadWholeFile(metadata_file->get(), &metadata, kMaxCacheMetadataSize, &too_large)) {
    return too_large ? CacheStatus::kMetadataCorrupt : CacheStatus::kMissingMetadata;
  }
  std::string project_id;
  const CacheStatus status = CheckCacheMetadata(metadata, digest, &project_id);
  if (status != CacheStatus::kOk) return status;
  report->data = std::move(data);
  report->project_id = std::move(project_id);
  return CacheStatus::kOk;
}

// Marks an open file for deletion and closes it, which removes it.
bool DeleteOpenFile(ScopedHandle* file) {
  if (!*file) return false;
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  const bool marked = SetFileInformationByHandle(file->get(), FileDispositionInfo, &disposition,
                                                 sizeof(disposition)) != FALSE;
  file->reset();
  return marked;
}

}  // namespace

std::wstring GetCacheBaseFolder() {
  static const std::wstring folder = ChooseCacheBaseFolder(SystemSources());
  return folder;
}

std::wstring CacheFolderUnder(std::wstring base) {
  // The temporary folder comes with a trailing backslash, the others without.
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  return base + L"\\Nelko\\CrashReports\\";
}

std::wstring GetCacheFolder() { return CacheFolderUnder(GetCacheBaseFolder()); }

bool ComputeReportDigest(const std::wstring& path, Md5::Digest* digest, std::string* bytes) {
  return ComputeReportDigest(WideToUtf8(path), digest, bytes);
}

CacheStatus WriteCachedReport(const std::wstring& path, std::string_view data, std::string_view project_id,
                              bool* name_taken) {
  return WriteCachedReport(WideToUtf8(path), data, project_id, name_taken);
}

CacheStatus ReadCachedReport(const std::wstring& path, CachedReport* report) {
  return ReadCachedReport(WideToUtf8(path), report);
}

CacheStatus HeldCachedReport::Read(const std::wstring& path, CachedReport* report) {
  return ReadPair(path, GENERIC_READ | DELETE, &report_file_, &metadata_file_, report);
}

bool HeldCachedReport::Delete() {
  const bool report_deleted = DeleteOpenFile(&report_file_);
  const bool metadata_deleted = DeleteOpenFile(&metadata_file_);
  return report_deleted && metadata_deleted;
}

void HeldCachedReport::Release() {
  report_file_.reset();
  metadata_file_.reset();
}

std::vector<std::wstring> ListCachedReportsIn(const std::wstring& folder) {
  std::vector<std::wstring> reports;
  for (const std::string& path : ListCachedReportsIn(WideToUtf8(folder))) reports.push_back(Utf8ToWide(path));
  return reports;
}

std::vector<std::wstring> ListCachedReports() { return ListCachedReportsIn(GetCacheFolder()); }

bool CacheReportAt(const CrashReport& report, const std::wstring& folder, const CacheTimeStamp& stamp,
                   std::wstring* path) {
  std::string written;
  const bool ok = CacheReportAt(report, WideToUtf8(folder), stamp, &written);
  if (path != nullptr) *path = Utf8ToWide(written);
  return ok;
}

bool CacheReport(const CrashReport& report) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  const CacheTimeStamp stamp{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                             now.wMinute, now.wSecond, now.wMilliseconds};
  return CacheReportAt(report, GetCacheFolder(), stamp);
}

}  // namespace nelko
