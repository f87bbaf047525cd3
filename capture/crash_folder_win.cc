#include "capture/crash_folder_win.h"

#include <shlobj.h>

#include <cstdio>
#include <cwchar>

namespace nelko {
namespace {

// Enough for every crash in one millisecond that a handler could see.
constexpr int kMaxFolderSuffix = 1000;

// Makes a folder that did not exist before under `parent`, named `name` or
// `name_N`. SHCreateDirectoryExW answers ERROR_ALREADY_EXISTS both for an
// existing folder and for a file in the way, so neither is taken as ours.
bool CreateNewFolder(const std::wstring& parent, const std::wstring& name, std::wstring* path) {
  *path = parent + L"\\" + name;
  for (int n = 2;; ++n) {
    const int result = SHCreateDirectoryExW(nullptr, path->c_str(), nullptr);
    if (result == ERROR_SUCCESS) return true;
    if (result != ERROR_ALREADY_EXISTS && result != ERROR_FILE_EXISTS) return false;
    if (n > kMaxFolderSuffix) return false;
    *path = parent + L"\\" + name + L"_" + std::to_wstring(n);
  }
}

}  // namespace

bool IsExistingFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

CrashFolder CreateCrashFolderAt(const std::wstring& crash_report_path, const SYSTEMTIME& now) {
  wchar_t stamp[512];
  std::swprintf(stamp, 512, L"%04d-%02d-%02d_%02d%02d%02d%03d", now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond, now.wMilliseconds);
  const std::wstring name = std::wstring(L"Crash_") + stamp;

  CrashFolder folder;
  if (!crash_report_path.empty() && CreateNewFolder(crash_report_path, name, &folder.path)) {
    folder.created = true;
    return folder;
  }
  wchar_t temp[261];
  const DWORD n = GetTempPathW(261, temp);
  std::wstring temp_path(temp, n < 261 ? n : 0);
  // GetTempPathW ends its path with a backslash; the folder is joined with
  // one more, which the system reads as one.
  if (!temp_path.empty() && temp_path.back() == L'\\') temp_path.pop_back();
  folder.created = CreateNewFolder(temp_path, name, &folder.path);
  return folder;
}

CrashFolder CreateCrashFolder(const std::wstring& crash_report_path) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return CreateCrashFolderAt(crash_report_path, now);
}

std::wstring MakeUniquePath(const std::wstring& path) {
  // Only a dot of the file name starts an extension: a dot in a folder name
  // (C:\Users\first.last\...) would put the counter into that folder's name,
  // a folder that does not exist.
  const size_t separator = path.find_last_of(L"\\/");
  const size_t name_start = separator == std::wstring::npos ? 0 : separator + 1;
  size_t dot = path.rfind(L'.');
  if (dot != std::wstring::npos && dot < name_start) dot = std::wstring::npos;
  const std::wstring stem = dot == std::wstring::npos ? path : path.substr(0, dot);
  const std::wstring extension = dot == std::wstring::npos ? std::wstring() : path.substr(dot);
  for (int n = 1; n <= 999; ++n) {
    wchar_t digits[4];
    std::swprintf(digits, 4, L"%03d", n);
    std::wstring candidate = stem + digits + extension;
    if (!IsExistingFile(candidate)) return candidate;
  }
  return std::wstring();
}

}  // namespace nelko
