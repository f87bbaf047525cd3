#include "report/analytics_file.h"

#include <cstdint>
#include <vector>

#include "platform/file_path.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "report/json_document.h"
#include "report/report_id.h"

namespace nelko {

std::optional<std::string> RewriteAnalyticsCrashText(std::string_view text, std::string_view hash) {
  JSONDocument document;
  if (!document.ParseText(text)) return std::nullopt;
  JSONNode root = document.Root();
  if (!root.IsObject()) return std::nullopt;
  JSONNode msg = root.Member("msg");
  if (!msg.IsObject()) return std::nullopt;
  JSONNode event_data = msg.Member("eventData");
  if (!event_data.IsObject()) return std::nullopt;
  JSONNode value = event_data.Member("value");
  if (!value.IsValid() || !value.SetString(hash)) return std::nullopt;
  return document.ToText();
}

}  // namespace nelko

namespace nelko {
namespace {

// The whole file, read through the file layer in 64 KiB pieces. False when
// it cannot be opened or a read fails before the end.
bool ReadWholeFile(FileSystem& fs, FileEntry& entry, std::string* text) {
  if (!fs.Open(entry, FileMode::kRead)) return false;
  std::vector<char> chunk(kFileStreamBufferSize);
  uint64_t offset = 0;
  for (;;) {
    uint64_t done = 0;
    if (!fs.ReadAt(entry, offset, chunk.size(), chunk.data(), &done) || done == 0) break;
    text->append(chunk.data(), static_cast<size_t>(done));
    offset += done;
  }
  // ReadAt also fails at the end of the file, but records no error there.
  const bool complete = entry.error == FileError::kNone;
  fs.Close(entry);
  return complete;
}

// A name beside the original that no other writer uses.
std::string TemporaryPathBeside(const char* path) {
  return std::string(path) + "." + NewReportId().substr(0, 8) + ".tmp";
}

}  // namespace

void UpdateAnalyticsCrashFile(std::string_view path, std::string_view hash) {
  if (path.empty()) return;
  FileEntry original(path);
  const std::string temp_path = TemporaryPathBeside(original.path);
  // The layer cuts longer paths, and a cut name could be the original's own.
  if (temp_path.size() > kMaxFilePathLength) return;
  FileEntry temp(temp_path);
  // Replacing in one step needs both names on one file system.
  if (temp.accessor != original.accessor) return;
  FileSystem& fs = *original.accessor;

  std::string text;
  if (!ReadWholeFile(fs, original, &text)) return;
  const std::optional<std::string> updated = RewriteAnalyticsCrashText(text, hash);
  if (!updated) return;

  if (!fs.Open(temp, FileMode::kWrite)) return;
  uint64_t done = 0;
  const bool written = updated->empty() || fs.WriteAt(temp, 0, updated->size(), updated->data(), &done);
  const bool closed = fs.Close(temp);
  if (!written || !closed || !fs.Replace(temp, original)) fs.Delete(temp);
}

}  // namespace nelko
