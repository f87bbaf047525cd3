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

using GetKnownFolderPathFn = HRESULT(WINAPI*)(REFGUID, DWORD, HANDLE, PWSTR*);
using GetFolderPathFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

template <class Fn>
Fn LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::wstring FindCacheBaseFolder() {
  std::wstring folder;
  wchar_t temp[261];
  const DWORD n = GetTempPathW(261, temp);
  if (n > 0 && n < 261) folder.assign(temp, n);

  ScopedLibrary shell(LoadLibraryW(L"Shell32.dll"));
  if (!shell) return folder;
  if (auto known = LookUp<GetKnownFolderPathFn>(shell.get(), "SHGetKnownFolderPath")) {
    PWSTR path = nullptr;
    if (SUCCEEDED(known(kLocalAppDataLow, 0, nullptr, &path)) && path != nullptr && path[0] != L'\0') {
      folder = path;
    }
    CoTaskMemFree(path);
  } else if (auto old = LookUp<GetFolderPathFn>(shell.get(), "SHGetFolderPathW")) {
    wchar_t path[MAX_PATH] = {};
    const HRESULT result = old(nullptr, kCsidlAppData, nullptr, 0, path);
    if (SUCCEEDED(result) && result != S_FALSE && path[0] != L'\0') folder = path;
  }
  return folder;
}

}  // namespace

std::wstring GetCacheBaseFolder() {
  static const std::wstring folder = FindCacheBaseFolder();
  return folder;
}

std::wstring GetCacheFolder() {
  std::wstring folder = GetCacheBaseFolder();
  // The temporary folder comes with a trailing backslash, the others without.
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder + L"\\Nelko\\CrashReports\\";
}

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
