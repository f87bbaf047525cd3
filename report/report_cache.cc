#include "report/report_cache.h"

#include <exception>

#include "platform/file_system.h"
#include "report/crash_report.h"
#include "report/gzip.h"

namespace nelko {
namespace {

// How many names one millisecond may take before caching gives up.
constexpr unsigned kMaxNameAttempts = 1000;

CacheWriteSeam g_write_seam = nullptr;

// Closes an entry on every path.
class OpenFile {
 public:
  explicit OpenFile(const std::string& path) : entry_(path) {}
  ~OpenFile() { Close(); }
  bool Open(FileMode mode) { return entry_.fileSystem != nullptr && entry_.fileSystem->Open(entry_, mode); }
  bool Close() { return entry_.fileSystem == nullptr || entry_.fileSystem->Close(entry_); }
  FileEntry& entry() { return entry_; }
  FileSystem& fs() { return *entry_.fileSystem; }

 private:
  FileEntry entry_;
};

// The whole file, opened without sharing; a file beyond `limit` bytes is
// not loaded (*too_large).
bool ReadWholeFile(const std::string& path, std::string* bytes, uint64_t limit = 0xFFFFFFFFu,
                   bool* too_large = nullptr) {
  OpenFile file(path);
  uint64_t size = 0;
  if (!file.Open(FileMode::kReadExclusive) || !file.fs().Size(file.entry(), &size)) return false;
  if (size > limit) {
    if (too_large != nullptr) *too_large = true;
    return false;
  }
  try {
    bytes->assign(static_cast<size_t>(size), '\0');
  } catch (const std::exception&) {
    // Beyond what a 32-bit process can hold (bad_alloc or length_error).
    return false;
  }
  if (bytes->empty()) return true;
  uint64_t done = 0;
  return file.fs().ReadAt(file.entry(), 0, size, &(*bytes)[0], &done) && done == size;
}

enum class WriteResult { kWritten, kExists, kNotCreated, kNotWritten };

// Creates (kCreateNew) or replaces (kWrite) a file and writes all of data,
// through to the disk.
WriteResult WriteWholeFile(const std::string& path, std::string_view data, FileMode mode) {
  OpenFile file(path);
  file.entry().flags = file_flags::kWriteThrough;
  if (!file.Open(mode)) {
    return file.entry().error == FileError::kAlreadyExists ? WriteResult::kExists : WriteResult::kNotCreated;
  }
  uint64_t done = 0;
  const bool ok = data.empty() || file.fs().WriteAt(file.entry(), 0, data.size(), data.data(), &done);
  const bool closed = file.Close();
  return ok && closed ? WriteResult::kWritten : WriteResult::kNotWritten;
}

// Whether a file of that name is there, open by someone else or not.
bool Exists(const std::string& path) {
  OpenFile file(path);
  return file.Open(FileMode::kRead) || file.entry().error != FileError::kNotFound;
}

void DeleteFile(const std::string& path) {
  FileEntry entry(path);
  if (entry.fileSystem != nullptr) entry.fileSystem->Delete(entry);
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string MetaPathFor(std::string_view report_path) {
  const size_t dot = report_path.rfind('.');
  std::string meta(report_path.substr(0, dot));
  meta += ".meta";
  return meta;
}

bool ComputeReportDigest(const std::string& path, Md5::Digest* digest, std::string* bytes) {
  std::string content;
  if (!ReadWholeFile(path, &content)) return false;
  *digest = DigestOfReportBytes(content);
  if (bytes != nullptr) *bytes = std::move(content);
  return true;
}

std::string UnfinishedReportPathFor(std::string_view report_path) {
  std::string part(report_path);
  part += kUnfinishedReportSuffix;
  return part;
}

CacheStatus WriteCachedReport(const std::string& path, std::string_view data, std::string_view project_id,
                              bool* name_taken) {
  if (name_taken != nullptr) *name_taken = false;
  if (data.empty()) return CacheStatus::kMissingReport;
  // The record holds the id as a NUL-terminated text, so an id with a NUL
  // byte is the id up to it; the report is never lost over it.
  project_id = project_id.substr(0, project_id.find('\0'));
  // The digest of the bytes in hand: reading the file back would need it
  // unshared, and an upload run may hold it by then.
  const std::string record = BuildCacheMetadata(DigestOfReportBytes(data), project_id);
  if (record.empty()) return CacheStatus::kFailedToWrite;

  const std::string folder = ParentFolder(path);
  if (!folder.empty()) {
    // A failure here is reported by creating the file below.
    FileEntry probe(folder);
    if (probe.fileSystem != nullptr) probe.fileSystem->CreateFolders(folder);
  }
  auto taken = [name_taken] {
    if (name_taken != nullptr) *name_taken = true;
    return CacheStatus::kFailedToWrite;
  };
  // An upload run lists report files only, so the pair must be whole before
  // the report file appears: both files are written first, the report under
  // a name the listing skips, and the report takes its name last. The two
  // files made new also claim the name against a writer beside this one.
  if (Exists(path)) return taken();
  const std::string part = UnfinishedReportPathFor(path);
  switch (WriteWholeFile(part, data, FileMode::kCreateNew)) {
    case WriteResult::kWritten:
      break;
    case WriteResult::kExists:
      return taken();
    case WriteResult::kNotCreated:
      return CacheStatus::kFailedToWrite;
    case WriteResult::kNotWritten:
      DeleteFile(part);
      return CacheStatus::kFailedToWrite;
  }
  const std::string meta_path = MetaPathFor(path);
  switch (WriteWholeFile(meta_path, record, FileMode::kCreateNew)) {
    case WriteResult::kWritten:
      break;
    case WriteResult::kExists:
      // The record of a writer that stopped half-way; upload mode clears it.
      DeleteFile(part);
      return taken();
    case WriteResult::kNotCreated:
      DeleteFile(part);
      return CacheStatus::kFailedToWrite;
    case WriteResult::kNotWritten:
      DeleteFile(meta_path);
      DeleteFile(part);
      return CacheStatus::kFailedToWrite;
  }
  if (g_write_seam != nullptr) g_write_seam(path);
  FileEntry from(part);
  FileEntry to(path);
  if (from.fileSystem == nullptr || !from.fileSystem->Replace(from, to)) {
    DeleteFile(meta_path);
    DeleteFile(part);
    return CacheStatus::kFailedToWrite;
  }
  return CacheStatus::kOk;
}

void SetCacheWriteSeamForTest(CacheWriteSeam seam) { g_write_seam = seam; }

CacheStatus ReadCachedReport(const std::string& path, CachedReport* report) {
  Md5::Digest digest;
  std::string data;
  if (!ComputeReportDigest(path, &digest, &data)) return CacheStatus::kMissingReport;
  std::string metadata;
  bool too_large = false;
  // A record beyond the accepted size is corrupt; no need to load it first.
  if (!ReadWholeFile(MetaPathFor(path), &metadata, kMaxCacheMetadataSize, &too_large)) {
    return too_large ? CacheStatus::kMetadataCorrupt : CacheStatus::kMissingMetadata;
  }
  std::string project_id;
  const CacheStatus status = CheckCacheMetadata(metadata, digest, &project_id);
  if (status != CacheStatus::kOk) return status;
  report->data = std::move(data);
  report->project_id = std::move(project_id);
  return CacheStatus::kOk;
}

std::vector<std::string> ListCachedReportsIn(const std::string& folder) {
  std::vector<std::string> reports;
  FileEntry probe(folder);
  if (probe.fileSystem == nullptr) return reports;
  const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
  for (const std::string& name : probe.fileSystem->ListFiles(folder, ".json.gz"))
    reports.push_back(separated ? folder + name : folder + "/" + name);
  return reports;
}

bool CacheReportAt(const CrashReport& report, const std::string& folder, const CacheTimeStamp& stamp,
                   std::string* path) {
  std::string compressed;
  try {
    if (!report.ToJsonGzip(&compressed)) return false;
  } catch (const std::exception&) {
    // A report too large for the process's memory is not cached; the
    // handler goes on with the rest of crash handling.
    return false;
  }
  // A report already cached under this millisecond keeps its name; this one
  // takes the next free one.
  for (unsigned attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::wstring wide_name = ReportFileName(stamp, attempt);
    const std::string candidate = folder + std::string(wide_name.begin(), wide_name.end());  // ASCII
    bool taken = false;
    const CacheStatus status = WriteCachedReport(candidate, compressed, report.appid, &taken);
    if (taken) continue;
    if (path != nullptr) *path = candidate;
    return status == CacheStatus::kOk;
  }
  return false;
}

}  // namespace nelko
