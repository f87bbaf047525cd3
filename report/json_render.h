#pragma once
// Compact rendering of a RapidJSON tree without recursion: a document read
// from a file may nest deeper than the stack allows the library's own
// recursive traversal.
#include <rapidjson/document.h>

#include <unordered_set>
#include <vector>

namespace nelko {

// False when the writer refused a value (a number that is not finite, which
// JSON cannot hold): the text is then incomplete and must not be used.
// String nodes listed in `raw_numbers` hold a number's text as it was read
// and are written back as that number, unchanged.
template <class Writer>
bool RenderCompact(const rapidjson::Value& root, Writer& writer,
                   const std::unordered_set<const rapidjson::Value*>* raw_numbers = nullptr) {
  bool ok = true;
  struct Frame {
    const rapidjson::Value* node;
    rapidjson::SizeType next;
  };
  std::vector<Frame> open;
  // Writes a scalar, or opens a container whose contents follow.
  auto start = [&](const rapidjson::Value& value) {
    switch (value.GetType()) {
      case rapidjson::kNullType:
        ok = writer.Null() && ok;
        break;
      case rapidjson::kFalseType:
        ok = writer.Bool(false) && ok;
        break;
      case rapidjson::kTrueType:
        ok = writer.Bool(true) && ok;
        break;
      case rapidjson::kNumberType:
        if (value.IsDouble()) {
          ok = writer.Double(value.GetDouble()) && ok;
        } else if (value.IsInt()) {
          ok = writer.Int(value.GetInt()) && ok;
        } else if (value.IsUint()) {
          ok = writer.Uint(value.GetUint()) && ok;
        } else if (value.IsInt64()) {
          ok = writer.Int64(value.GetInt64()) && ok;
        } else {
          ok = writer.Uint64(value.GetUint64()) && ok;
        }
        break;
      case rapidjson::kStringType:
        if (raw_numbers != nullptr && raw_numbers->count(&value) != 0) {
          ok = writer.RawValue(value.GetString(), value.GetStringLength(), rapidjson::kNumberType) && ok;
          break;
        }
        ok = writer.String(value.GetString(), value.GetStringLength()) && ok;
        break;
      case rapidjson::kObjectType:
        ok = writer.StartObject() && ok;
        open.push_back({&value, 0});
        break;
      case rapidjson::kArrayType:
        ok = writer.StartArray() && ok;
        open.push_back({&value, 0});
        break;
    }
  };
  start(root);
  while (!open.empty()) {
    const rapidjson::Value* node = open.back().node;
    const rapidjson::SizeType index = open.back().next++;
    if (node->IsObject()) {
      if (index == node->MemberCount()) {
        ok = writer.EndObject(index) && ok;
        open.pop_back();
        continue;
      }
      const auto& member = node->MemberBegin()[index];
      ok = writer.Key(member.name.GetString(), member.name.GetStringLength()) && ok;
      start(member.value);
    } else {
      if (index == node->Size()) {
        ok = writer.EndArray(index) && ok;
        open.pop_back();
        continue;
      }
      start((*node)[index]);
    }
  }
  return ok;
}

}  // namespace nelko
