#include "report/analytics_file.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/file_path.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "report/json_render.h"
#include "report/report_id.h"

namespace nelko {

namespace {

// The first member named key of an object value, or null.
rapidjson::Value* Member(rapidjson::Value& object, std::string_view key) {
  if (!object.IsObject()) return nullptr;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    if (it->name.GetStringLength() == key.size() &&
        std::memcmp(it->name.GetString(), key.data(), key.size()) == 0) {
      return &it->value;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> RewriteAnalyticsCrashText(std::string_view text, std::string_view hash) {
  // A NUL byte would end the parser's view of the text early and lose what
  // follows it on rewrite.
  if (text.empty() || std::memchr(text.data(), '\0', text.size()) != nullptr) return std::nullopt;
  rapidjson::Document document;
  // Full precision: every number the engine wrote must come back as the same
  // number, or each crash would nudge the engine's fractions. Iterative: a
  // foreign file may nest deeper than the stack allows.
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag;
  if (document.Parse<kFlags>(text.data(), text.size()).HasParseError() || !document.IsObject())
    return std::nullopt;
  rapidjson::Value* event_data = nullptr;
  if (rapidjson::Value* msg = Member(document, "msg")) event_data = Member(*msg, "eventData");
  rapidjson::Value* value = event_data != nullptr ? Member(*event_data, "value") : nullptr;
  if (value == nullptr) return std::nullopt;
  value->SetString(hash.data(), static_cast<rapidjson::SizeType>(hash.size()), document.GetAllocator());

  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  // A number the parser took but JSON cannot hold (beyond the largest double)
  // would be written as nothing: leave the engine's file as it is instead.
  if (!RenderCompact(document, writer)) return std::nullopt;
  return std::string(buffer.GetString(), buffer.GetSize());
}

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

  // A file the engine cannot have us write (read-only, or held open by
  // another program) is left alone, as an in-place rewrite would have to.
  // Renaming over it could succeed where writing would not.
  FileEntry writable(original.path);
  if (!fs.Open(writable, FileMode::kReadWrite)) return;
  fs.Close(writable);

  if (!fs.Open(temp, FileMode::kWrite)) return;
  uint64_t done = 0;
  const bool written = updated->empty() || fs.WriteAt(temp, 0, updated->size(), updated->data(), &done);
  const bool closed = fs.Close(temp);
  if (!written || !closed || !fs.Replace(temp, original)) fs.Delete(temp);
}

}  // namespace nelko
