#include "report/json_write.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <utility>

#include "base/log_entry.h"
#include "report/json_render.h"

namespace nelko {

struct JSONWrite::Impl {
  rapidjson::Document document;
  // Containers under construction; the last one is current, the root when empty.
  std::vector<rapidjson::Value> building;

  rapidjson::Value& Current() { return building.empty() ? document : building.back(); }

  void Attach(rapidjson::Value& value, const char* key) {
    rapidjson::Value& container = Current();
    if (container.IsObject()) {
      container.AddMember(rapidjson::Value(key, document.GetAllocator()), value, document.GetAllocator());
    } else if (container.IsArray()) {
      container.PushBack(value, document.GetAllocator());
    } else {
      ReportError("Unexpected node type.", "Modules/JSONSerialize/Public/JSONWrite", 32);
    }
  }
};

JSONWrite::JSONWrite() : impl_(std::make_unique<Impl>()) { impl_->document.SetObject(); }

JSONWrite::~JSONWrite() = default;

void JSONWrite::Transfer(std::string& value, const char* key) {
  // Only the bytes before an embedded NUL are written.
  const size_t length = std::strlen(value.c_str());
  rapidjson::Value node(value.c_str(), static_cast<rapidjson::SizeType>(length),
                        impl_->document.GetAllocator());
  impl_->Attach(node, key);
}

void JSONWrite::Transfer(int32_t& value, const char* key) {
  rapidjson::Value node(value);
  impl_->Attach(node, key);
}

void JSONWrite::Transfer(uint32_t& value, const char* key) {
  rapidjson::Value node(value);
  impl_->Attach(node, key);
}

void JSONWrite::Transfer(uint64_t& value, const char* key) {
  rapidjson::Value node(value);
  impl_->Attach(node, key);
}

void JSONWrite::Transfer(int16_t& value, const char* key) {
  rapidjson::Value node(static_cast<int>(value));
  impl_->Attach(node, key);
}

void JSONWrite::Transfer(bool& value, const char* key) {
  rapidjson::Value node(value);
  impl_->Attach(node, key);
}

void JSONWrite::Transfer(std::vector<std::string>& values, const char* key) {
  BeginArray();
  for (std::string& value : values) Transfer(value, "data");
  EndContainer(key);
}

void JSONWrite::BeginObject() { impl_->building.emplace_back(rapidjson::kObjectType); }

void JSONWrite::BeginArray() { impl_->building.emplace_back(rapidjson::kArrayType); }

void JSONWrite::EndContainer(const char* key) {
  rapidjson::Value node(std::move(impl_->building.back()));
  impl_->building.pop_back();
  impl_->Attach(node, key);
}

std::string JSONWrite::ToText() const {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  RenderCompact(impl_->document, writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace nelko
