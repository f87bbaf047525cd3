#include "report/report_cache_win.h"

#include <shlobj.h>
#include <windows.h>

#include <exception>

#include "platform/scoped_handle_win.h"
#include "report/crash_report.h"
#include "report/gzip.h"

namespace nelko {
namespace {

// FOLDERID_LocalAppDataLow, spelled out so no GUID library is needed.
const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
constexpr int kCsidlAppData = 26;
// How many names one millisecond may take before caching gives up.
constexpr unsigned kMaxNameAttempts = 1000;

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

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  ScopedHandle file(OpenExclusive(path, GENERIC_READ));
  return file && ReadWholeFile(file.get(), bytes);
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

enum class WriteResult { kWritten, kExists, kNotCreated, kNotWritten };

// Creates (or, for the metadata, replaces) a file and writes all of data in
// one write, flushed through to the disk.
WriteResult WriteWholeFile(const std::wstring& path, std::string_view data, DWORD creation) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, creation,
                                FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? WriteResult::kExists
                                                                       : WriteResult::kNotCreated;
  }
  DWORD written = 0;
  const bool ok = data.size() <= MAXDWORD &&
                  WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                  written == data.size();
  const bool closed = CloseHandle(file.release()) != FALSE;
  return ok && closed ? WriteResult::kWritten : WriteResult::kNotWritten;
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
  std::string content;
  if (!ReadWholeFile(path, &content)) return false;
  *digest = DigestOfReportBytes(content);
  if (bytes != nullptr) *bytes = std::move(content);
  return true;
}

CacheStatus WriteCachedReport(const std::wstring& path, std::string_view data, std::string_view project_id,
                              bool* name_taken) {
  if (name_taken != nullptr) *name_taken = false;
  if (data.empty()) return CacheStatus::kMissingReport;
  // Refused before anything is written: a record that cannot name the
  // project exactly would send the report to another one.
  if (BuildCacheMetadata(Md5::Digest{}, project_id).empty()) return CacheStatus::kFailedToWrite;

  const size_t slash = path.rfind(L'\\');
  if (slash != std::wstring::npos) {
    // Errors are ignored here: creating the file below reports them.
    SHCreateDirectoryExW(nullptr, path.substr(0, slash).c_str(), nullptr);
  }
  switch (WriteWholeFile(path, data, CREATE_NEW)) {
    case WriteResult::kWritten:
      break;
    case WriteResult::kExists:
      if (name_taken != nullptr) *name_taken = true;
      return CacheStatus::kFailedToWrite;
    case WriteResult::kNotCreated:
      return CacheStatus::kFailedToWrite;
    case WriteResult::kNotWritten:
      // A partial report without metadata would only ever read as "Missing
      // metadata"; the file is ours (CREATE_NEW), so take it away again.
      DeleteFileW(path.c_str());
      return CacheStatus::kFailedToWrite;
  }

  Md5::Digest digest;
  if (!ComputeReportDigest(path, &digest)) return CacheStatus::kMissingReport;
  const std::string record = BuildCacheMetadata(digest, project_id);
  if (WriteWholeFile(MetaPathFor(path), record, CREATE_ALWAYS) != WriteResult::kWritten) {
    return CacheStatus::kFailedToWrite;
  }
  return CacheStatus::kOk;
}

CacheStatus ReadCachedReport(const std::wstring& path, CachedReport* report) {
  ScopedHandle report_file;
  ScopedHandle metadata_file;
  return ReadPair(path, GENERIC_READ, &report_file, &metadata_file, report);
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
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*.json.gz").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return reports;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) reports.push_back(folder + found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return reports;
}

std::vector<std::wstring> ListCachedReports() { return ListCachedReportsIn(GetCacheFolder()); }

bool CacheReportAt(const CrashReport& report, const std::wstring& folder, const CacheTimeStamp& stamp,
                   std::wstring* path) {
  std::string compressed;
  try {
    if (!CompressGzip(report.ToJson(), &compressed)) return false;
  } catch (const std::exception&) {
    // A report too large for the process's memory is not cached; the
    // handler goes on with the rest of crash handling.
    return false;
  }
  // A report already cached under this millisecond keeps its name; this one
  // takes the next free one.
  for (unsigned attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::wstring candidate = folder + ReportFileName(stamp, attempt);
    bool taken = false;
    const CacheStatus status = WriteCachedReport(candidate, compressed, report.appid, &taken);
    if (taken) continue;
    if (path != nullptr) *path = candidate;
    return status == CacheStatus::kOk;
  }
  return false;
}

bool CacheReport(const CrashReport& report) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  const CacheTimeStamp stamp{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                             now.wMinute, now.wSecond, now.wMilliseconds};
  return CacheReportAt(report, GetCacheFolder(), stamp);
}

}  // namespace nelko
