#pragma once
// Compact rendering of a RapidJSON tree without recursion: a document read
// from a file may nest deeper than the stack allows the library's own
// recursive traversal.
#include <rapidjson/document.h>

#include <vector>

namespace nelko {

template <class Writer>
void RenderCompact(const rapidjson::Value& root, Writer& writer) {
  struct Frame {
    const rapidjson::Value* node;
    rapidjson::SizeType next;
  };
  std::vector<Frame> open;
  // Writes a scalar, or opens a container whose contents follow.
  auto start = [&](const rapidjson::Value& value) {
    switch (value.GetType()) {
      case rapidjson::kNullType:
        writer.Null();
        break;
      case rapidjson::kFalseType:
        writer.Bool(false);
        break;
      case rapidjson::kTrueType:
        writer.Bool(true);
        break;
      case rapidjson::kNumberType:
        if (value.IsDouble()) {
          writer.Double(value.GetDouble());
        } else if (value.IsInt()) {
          writer.Int(value.GetInt());
        } else if (value.IsUint()) {
          writer.Uint(value.GetUint());
        } else if (value.IsInt64()) {
          writer.Int64(value.GetInt64());
        } else {
          writer.Uint64(value.GetUint64());
        }
        break;
      case rapidjson::kStringType:
        writer.String(value.GetString(), value.GetStringLength());
        break;
      case rapidjson::kObjectType:
        writer.StartObject();
        open.push_back({&value, 0});
        break;
      case rapidjson::kArrayType:
        writer.StartArray();
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
        writer.EndObject(index);
        open.pop_back();
        continue;
      }
      const auto& member = node->MemberBegin()[index];
      writer.Key(member.name.GetString(), member.name.GetStringLength());
      start(member.value);
    } else {
      if (index == node->Size()) {
        writer.EndArray(index);
        open.pop_back();
        continue;
      }
      start((*node)[index]);
    }
  }
}

}  // namespace nelko
