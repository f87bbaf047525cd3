#include "report/json_document.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

#include "platform/file_stream.h"
#include "report/json_render.h"

namespace nelko {

struct JSONDocument::Impl {
  rapidjson::Document document;
};

bool JSONNode::IsObject() const {
  return value_ != nullptr && static_cast<rapidjson::Value*>(value_)->IsObject();
}

JSONNode JSONNode::Member(std::string_view key) const {
  if (!IsObject()) return JSONNode();
  rapidjson::Value& object = *static_cast<rapidjson::Value*>(value_);
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    if (it->name.GetStringLength() == key.size() &&
        std::memcmp(it->name.GetString(), key.data(), key.size()) == 0) {
      return JSONNode(&it->value, document_);
    }
  }
  return JSONNode();
}

bool JSONNode::SetString(std::string_view text) {
  if (value_ == nullptr) return false;
  static_cast<rapidjson::Value*>(value_)->SetString(
      text.data(), static_cast<rapidjson::SizeType>(text.size()), document_->impl_->document.GetAllocator());
  return true;
}

JSONDocument::JSONDocument() : impl_(std::make_unique<Impl>()) {}

JSONDocument::~JSONDocument() = default;

bool JSONDocument::ParseFile(std::string_view path) {
  FileInputStream in(path);
  // Iterative parsing: a foreign file may nest deeper than the stack allows.
  if (!in.IsOpen() || impl_->document.ParseStream<rapidjson::kParseIterativeFlag>(in).HasParseError() ||
      in.ReadFailed() || !in.AtEnd()) {
    // A NUL byte ends the parser's view of the file early; what follows it
    // would be lost on rewrite, so such a file does not parse.
    impl_->document.SetNull();
    return false;
  }
  return true;
}

bool JSONDocument::ParseText(std::string_view text) {
  if (text.empty() || std::memchr(text.data(), '\0', text.size()) != nullptr ||
      impl_->document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size()).HasParseError()) {
    impl_->document.SetNull();
    return false;
  }
  return true;
}

JSONNode JSONDocument::Root() {
  if (impl_->document.IsNull()) return JSONNode();
  return JSONNode(&impl_->document, this);
}

std::string JSONDocument::ToText() const {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  RenderCompact(impl_->document, writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

bool JSONDocument::WriteFile(std::string_view path) const {
  FileOutputStream out(path);
  if (!out.IsOpen()) return false;
  rapidjson::Writer<FileOutputStream> writer(out);
  const bool complete = RenderCompact(impl_->document, writer);
  return out.Close() && complete;
}

}  // namespace nelko
