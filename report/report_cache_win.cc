#include "report/report_cache_win.h"

#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <exception>
#include <map>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "report/crash_report.h"
#include "report/gzip.h"
#include "report/json_read.h"

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

namespace {

constexpr std::wstring_view kReportSuffix = L".json.gz";
constexpr std::wstring_view kMetaSuffix = L".json.meta";
// The report's name and kUnfinishedReportSuffix.
constexpr std::wstring_view kUnfinishedSuffix = L".json.gz.part";
constexpr std::wstring_view kRefusalsSuffix = L".json.refusals";
// The largest report text read back to rebuild its metadata.
constexpr size_t kMaxRebuiltReportText = size_t{256} << 20;

// The files of one report that the folder holds, by the name before ".json".
struct ReportFiles {
  bool report = false;
  bool meta = false;
  bool unfinished = false;
  bool refusals = false;
  uint64_t newest_unfinished_write = 0;  // of the metadata and unfinished files
};

uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring UnfinishedPathFor(const std::wstring& report_path) {
  return report_path + Utf8ToWide(kUnfinishedReportSuffix);
}

// Removes a file nobody else holds open; false when it cannot.
bool RemoveUnheld(const std::wstring& path) {
  ScopedHandle file(OpenExclusive(path, GENERIC_READ | DELETE));
  return file && DeleteOpenFile(&file);
}

// A stopped writer's unfinished report, whole by its metadata, takes its
// place beside the metadata.
bool Complete(const std::wstring& report_path) {
  const std::wstring unfinished = UnfinishedPathFor(report_path);
  std::string data;
  std::string metadata;
  {
    ScopedHandle data_file(OpenExclusive(unfinished, GENERIC_READ));
    ScopedHandle metadata_file(OpenExclusive(MetaPathFor(report_path), GENERIC_READ));
    if (!data_file || !metadata_file || !ReadWholeFile(data_file.get(), &data) || data.empty() ||
        !ReadWholeFile(metadata_file.get(), &metadata, kMaxCacheMetadataSize)) {
      return false;
    }
  }
  std::string project_id;
  const CacheStatus status = CheckCacheMetadata(metadata, DigestOfReportBytes(data), &project_id);
  // An empty project id is what the writer records for such a report.
  if (status != CacheStatus::kOk && status != CacheStatus::kProjectIdEmpty) return false;
  return MoveFileExW(unfinished.c_str(), report_path.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
}

enum class Rebuilt { kRebuilt, kUnreadable, kLeft };

// Writes the metadata of a report that has none from the project id its own
// JSON names. kUnreadable (and the report removed) when it cannot be read;
// kLeft when it is held by another process, too large to read here, or its
// metadata appeared meanwhile.
Rebuilt RebuildMetadata(const std::wstring& report_path) {
  ScopedHandle report(OpenExclusive(report_path, GENERIC_READ | DELETE));
  std::string data;
  if (!report || !ReadWholeFile(report.get(), &data)) return Rebuilt::kLeft;
  std::string text;
  std::string project_id;
  switch (DecompressGzip(data, &text, kMaxRebuiltReportText)) {
    case GunzipResult::kOk: {
      JSONRead read(text.c_str());
      if (read.IsValid()) read.Transfer(project_id, "appid");
      break;
    }
    case GunzipResult::kTooLarge:
      return Rebuilt::kLeft;
    case GunzipResult::kCorrupt:
      break;
  }
  const std::wstring meta_path = MetaPathFor(report_path);
  const std::string record =
      project_id.empty() ? std::string() : BuildCacheMetadata(DigestOfReportBytes(data), project_id);
  if (record.empty()) {
    // Held since it was read: nobody wrote its metadata meanwhile unless
    // the file is there now.
    if (Exists(meta_path)) return Rebuilt::kLeft;
    return DeleteOpenFile(&report) ? Rebuilt::kUnreadable : Rebuilt::kLeft;
  }
  // Created new: metadata that appeared meanwhile is never replaced.
  ScopedHandle meta(CreateFileW(meta_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
  if (!meta) return Rebuilt::kLeft;
  DWORD written = 0;
  if (!WriteFile(meta.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr) ||
      written != record.size()) {
    DeleteOpenFile(&meta);
    return Rebuilt::kLeft;
  }
  return Rebuilt::kRebuilt;
}

}  // namespace

bool RemoveCachedReport(const std::wstring& path) {
  ScopedHandle report(OpenExclusive(path, GENERIC_READ | DELETE));
  if (!report) return false;
  // The report goes last, so that a failure leaves it to be tried again.
  for (const std::wstring& other : {MetaPathFor(path), RefusalsPathFor(path)}) {
    if (Exists(other)) RemoveUnheld(other);
  }
  return DeleteOpenFile(&report);
}

std::vector<CacheRepair> RepairCachedReports(const std::wstring& folder, uint64_t min_age_ms) {
  std::vector<CacheRepair> repairs;
  std::map<std::wstring, ReportFiles> reports;
  WIN32_FIND_DATAW found;
  ScopedFindHandle search(FindFirstFileW((folder + L"*").c_str(), &found));
  if (!search) return repairs;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring name = found.cFileName;
    std::wstring_view suffix;
    for (const std::wstring_view candidate :
         {kReportSuffix, kMetaSuffix, kUnfinishedSuffix, kRefusalsSuffix}) {
      if (name.size() > candidate.size() &&
          name.compare(name.size() - candidate.size(), candidate.size(), candidate) == 0) {
        suffix = candidate;
      }
    }
    if (suffix.empty()) continue;
    ReportFiles& files = reports[name.substr(0, name.size() - suffix.size())];
    if (suffix == kReportSuffix) files.report = true;
    if (suffix == kRefusalsSuffix) files.refusals = true;
    if (suffix == kMetaSuffix || suffix == kUnfinishedSuffix) {
      (suffix == kMetaSuffix ? files.meta : files.unfinished) = true;
      files.newest_unfinished_write =
          std::max(files.newest_unfinished_write, FileTimeValue(found.ftLastWriteTime));
    }
  } while (FindNextFileW(search.get(), &found));
  search.reset();

  FILETIME now_time;
  GetSystemTimeAsFileTime(&now_time);
  const uint64_t now = FileTimeValue(now_time);
  const uint64_t min_age = min_age_ms * 10000;  // in the file times' 100 ns
  for (const auto& [stem, files] : reports) {
    const std::wstring report = folder + stem + std::wstring(kReportSuffix);
    bool has_report = files.report;
    if (files.report && !files.meta && !Exists(MetaPathFor(report))) {
      switch (RebuildMetadata(report)) {
        case Rebuilt::kRebuilt:
          repairs.push_back({CacheRepair::Action::kRebuiltMetadata, report});
          break;
        case Rebuilt::kUnreadable:
          repairs.push_back({CacheRepair::Action::kRemoved, report});
          has_report = false;
          break;
        case Rebuilt::kLeft:
          break;
      }
    } else if (!files.report && (files.meta || files.unfinished)) {
      // A writer may still be at work on young files; and one that just
      // finished has put its report in place.
      const bool young = now < files.newest_unfinished_write + min_age;
      if (young || Exists(report)) continue;
      if (files.meta && files.unfinished && Complete(report)) {
        repairs.push_back({CacheRepair::Action::kCompleted, report});
        has_report = true;
      } else {
        for (const std::wstring& left : {UnfinishedPathFor(report), MetaPathFor(report)}) {
          if (Exists(left) && RemoveUnheld(left)) repairs.push_back({CacheRepair::Action::kRemoved, left});
        }
      }
    }
    if (files.refusals && !has_report) {
      const std::wstring refusals = RefusalsPathFor(report);
      if (!Exists(report) && RemoveUnheld(refusals))
        repairs.push_back({CacheRepair::Action::kRemoved, refusals});
    }
  }
  return repairs;
}

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
