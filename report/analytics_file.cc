#include "report/analytics_file.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/diag_output.h"
#include "platform/file_path.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "report/json_render.h"
#include "report/report_id.h"

namespace nelko {

namespace {

using RawNumbers = std::unordered_set<const rapidjson::Value*>;

// Parses `text` into `document` with every number kept as the text the engine
// wrote (as a string node listed in `raw_numbers`), so that the rewrite gives
// back each number byte for byte and never runs the library's conversion of
// exotic numbers. False on a parse error.
bool ParseKeepingNumbers(std::string_view text, rapidjson::Document& document, RawNumbers& raw_numbers) {
  // Values are counted in document order while parsing; after parsing the
  // tree is walked in the same order to find the nodes again (they move
  // while the tree is being built, so their addresses are known only then).
  std::vector<size_t> number_ordinals;
  struct Recorder {
    rapidjson::Document& d;
    std::vector<size_t>& numbers;
    size_t ordinal = 0;
    bool Null() { return ++ordinal, d.Null(); }
    bool Bool(bool b) { return ++ordinal, d.Bool(b); }
    bool Int(int i) { return ++ordinal, d.Int(i); }
    bool Uint(unsigned u) { return ++ordinal, d.Uint(u); }
    bool Int64(int64_t i) { return ++ordinal, d.Int64(i); }
    bool Uint64(uint64_t u) { return ++ordinal, d.Uint64(u); }
    bool Double(double v) { return ++ordinal, d.Double(v); }
    bool RawNumber(const char* str, rapidjson::SizeType length, bool copy) {
      numbers.push_back(ordinal++);
      return d.String(str, length, copy);
    }
    bool String(const char* str, rapidjson::SizeType length, bool copy) {
      return ++ordinal, d.String(str, length, copy);
    }
    bool StartObject() { return ++ordinal, d.StartObject(); }
    bool Key(const char* str, rapidjson::SizeType length, bool copy) { return d.Key(str, length, copy); }
    bool EndObject(rapidjson::SizeType count) { return d.EndObject(count); }
    bool StartArray() { return ++ordinal, d.StartArray(); }
    bool EndArray(rapidjson::SizeType count) { return d.EndArray(count); }
  };
  bool parsed = false;
  auto generate = [&](rapidjson::Document& target) {
    Recorder recorder{target, number_ordinals};
    rapidjson::MemoryStream memory(text.data(), text.size());
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> in(memory);
    rapidjson::Reader reader;
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    parsed = !reader.Parse<kFlags>(in, recorder).IsError();
    return parsed;
  };
  document.Populate(generate);
  if (!parsed) return false;

  // Walk the finished tree in document order without recursion.
  size_t ordinal = 0;
  size_t next = 0;
  std::vector<const rapidjson::Value*> pending{&document};
  while (!pending.empty() && next < number_ordinals.size()) {
    const rapidjson::Value* node = pending.back();
    pending.pop_back();
    if (ordinal++ == number_ordinals[next]) {
      raw_numbers.insert(node);
      ++next;
    }
    if (node->IsObject()) {
      for (auto it = node->MemberEnd(); it != node->MemberBegin();) pending.push_back(&(--it)->value);
    } else if (node->IsArray()) {
      for (auto it = node->End(); it != node->Begin();) pending.push_back(--it);
    }
  }
  return true;
}

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
  RawNumbers raw_numbers;
  if (!ParseKeepingNumbers(text, document, raw_numbers) || !document.IsObject()) return std::nullopt;
  rapidjson::Value* event_data = nullptr;
  if (rapidjson::Value* msg = Member(document, "msg")) event_data = Member(*msg, "eventData");
  rapidjson::Value* value = event_data != nullptr ? Member(*event_data, "value") : nullptr;
  if (value == nullptr) return std::nullopt;
  raw_numbers.erase(value);
  value->SetString(hash.data(), static_cast<rapidjson::SizeType>(hash.size()), document.GetAllocator());

  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  // Text the writer refused would be incomplete: leave the engine's file as it is.
  if (!RenderCompact(document, writer, &raw_numbers)) return std::nullopt;
  return std::string(buffer.GetString(), buffer.GetSize());
}

namespace {

// The whole file, read through the file layer in 64 KiB pieces. False when
// it cannot be opened, is larger than kMaxAnalyticsFileBytes, or a read
// fails before the end.
bool ReadWholeFile(FileSystem& fs, FileEntry& entry, std::string* text) {
  if (!fs.Open(entry, FileMode::kRead)) return false;
  uint64_t size = 0;
  if (fs.Size(entry, &size) && size > kMaxAnalyticsFileBytes) {
    // An engine's analytics event is small; a huge file is not one, and
    // loading it could exhaust a 32-bit handler in the middle of a crash.
    DiagPrintf("Analytics crash file %s is larger than %u bytes; left as it is\n", entry.path,
               static_cast<unsigned>(kMaxAnalyticsFileBytes));
    fs.Close(entry);
    return false;
  }
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

bool IsHex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// Temporary files of earlier runs that were killed before their replace:
// "<name>.<8 hex>.tmp" beside the original.
void RemoveStaleTemporaryFiles(FileSystem& fs, std::string_view original_path) {
  const size_t slash = original_path.rfind('/');
  const std::string folder(slash == std::string_view::npos ? std::string_view(".")
                                                           : original_path.substr(0, slash));
  const std::string name(slash == std::string_view::npos ? original_path : original_path.substr(slash + 1));
  for (const std::string& file : fs.ListFiles(folder, ".tmp")) {
    if (file.size() != name.size() + 13 || file.compare(0, name.size() + 1, name + ".") != 0 ||
        !IsHex(std::string_view(file).substr(name.size() + 1, 8)))
      continue;
    FileEntry stale(folder + "/" + file);
    if (stale.accessor == &fs) fs.Delete(stale);
  }
}

}  // namespace

void UpdateAnalyticsCrashFile(std::string_view path, std::string_view hash) {
  if (path.empty()) return;
  FileEntry original(path);
  const std::string temp_path = TemporaryPathBeside(original.path);
  // The layer cuts longer paths, and a cut name could be the original's own.
  if (temp_path.size() > kMaxFilePathLength) {
    DiagPrintf("Analytics crash file path is too long to update: %s\n", original.path);
    return;
  }
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
  // Renaming over it could succeed where writing would not. A file removed
  // meanwhile is not created again.
  FileEntry writable(original.path);
  if (!fs.Open(writable, FileMode::kUpdate)) return;
  fs.Close(writable);

  RemoveStaleTemporaryFiles(fs, original.path);
  if (!fs.Open(temp, FileMode::kWrite)) return;
  uint64_t done = 0;
  const bool written = updated->empty() || fs.WriteAt(temp, 0, updated->size(), updated->data(), &done);
  const bool closed = fs.Close(temp);
  if (!written || !closed || !fs.Replace(temp, original)) fs.Delete(temp);
}

}  // namespace nelko
