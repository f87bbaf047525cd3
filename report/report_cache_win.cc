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
