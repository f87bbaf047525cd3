#include "report/json_read.h"

#include <rapidjson/document.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace nelko {
namespace {

using rapidjson::Value;

bool IsDecimalSpace(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Truncates toward zero; values beyond 64 bits saturate so that the
// conversion is always defined.
int64_t TruncateToInt64(double d) {
  if (d != d) return 0;
  if (d >= 9223372036854775808.0) return INT64_MAX;
  if (d < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(d);
}

// The low 32 bits of a number that is not a 32-bit integer of the wanted kind.
uint32_t Low32OfNumber(const Value& node) {
  return static_cast<uint32_t>(static_cast<uint64_t>(TruncateToInt64(node.GetDouble())));
}

std::string FormatNumber(const Value& node) {
  char buffer[32];
  if (node.IsInt()) {
    std::snprintf(buffer, sizeof(buffer), "%i", node.GetInt());
  } else if (node.IsUint()) {
    std::snprintf(buffer, sizeof(buffer), "%u", node.GetUint());
  } else if (node.IsInt64()) {
    std::snprintf(buffer, sizeof(buffer), "%lli", static_cast<long long>(node.GetInt64()));
  } else if (node.IsUint64()) {
    std::snprintf(buffer, sizeof(buffer), "%llu", static_cast<unsigned long long>(node.GetUint64()));
  } else {
    // "%f" of a large double runs to hundreds of digits.
    const int size = std::snprintf(nullptr, 0, "%f", node.GetDouble());
    if (size <= 0) return std::string();
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%f", node.GetDouble());
    text.resize(static_cast<size_t>(size));
    return text;
  }
  return buffer;
}

std::string StringOf(const Value& node) {
  switch (node.GetType()) {
    case rapidjson::kStringType:
      return std::string(node.GetString(), node.GetStringLength());
    case rapidjson::kTrueType:
      return "true";
    case rapidjson::kFalseType:
      return "false";
    case rapidjson::kNumberType:
      return FormatNumber(node);
    default:
      return std::string();
  }
}

int32_t IntOf(const Value& node) {
  if (node.IsInt()) return node.GetInt();
  if (node.IsNumber()) return static_cast<int32_t>(Low32OfNumber(node));
  if (node.IsString())
    return static_cast<int32_t>(static_cast<uint32_t>(ParseLenientDecimal(node.GetString())));
  return 0;
}

uint32_t UintOf(const Value& node) {
  if (node.IsUint()) return node.GetUint();
  if (node.IsNumber()) return Low32OfNumber(node);
  if (node.IsString()) return static_cast<uint32_t>(ParseLenientDecimal(node.GetString()));
  return 0;
}

}  // namespace

uint64_t ParseLenientDecimal(const char* text) {
  while (IsDecimalSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<uint64_t>(*text - '0');
  return negative ? ~value + 1 : value;
}

struct JSONRead::Impl {
  struct Frame {
    const Value* node;
    rapidjson::SizeType cursor;
  };
  rapidjson::Document document;
  std::vector<Frame> open;

  // The first member named key of an object, or the next element of an array.
  const Value* Lookup(const char* key) {
    Frame& frame = open.back();
    if (frame.node->IsObject()) {
      const size_t length = std::strlen(key);
      for (auto it = frame.node->MemberBegin(); it != frame.node->MemberEnd(); ++it) {
        if (it->name.GetStringLength() == length && std::memcmp(it->name.GetString(), key, length) == 0) {
          return &it->value;
        }
      }
      return nullptr;
    }
    if (frame.node->IsArray()) {
      if (frame.cursor >= frame.node->Size()) return nullptr;
      return &(*frame.node)[frame.cursor++];
    }
    return nullptr;
  }
};

JSONRead::JSONRead(const char* text) : impl_(std::make_unique<Impl>()) {
  // Iterative parsing: deep nesting in foreign text must not exhaust the stack.
  // Records are objects: any other root is read as nothing at all.
  if (text == nullptr || impl_->document.Parse<rapidjson::kParseIterativeFlag>(text).HasParseError() ||
      !impl_->document.IsObject()) {
    impl_->document.SetNull();
  }
  impl_->open.push_back({&impl_->document, 0});
}

JSONRead::~JSONRead() = default;

bool JSONRead::IsValid() const { return !impl_->document.IsNull(); }

void JSONRead::Transfer(std::string& value, const char* key) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node != nullptr) value = StringOf(*node);
}

void JSONRead::Transfer(int32_t& value, const char* key) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node != nullptr) value = IntOf(*node);
}

void JSONRead::Transfer(uint32_t& value, const char* key) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node != nullptr) value = UintOf(*node);
}

void JSONRead::Transfer(uint64_t& value, const char* key) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node == nullptr) return;
  if (node->IsUint64()) {
    value = node->GetUint64();
  } else if (node->IsString()) {
    value = ParseLenientDecimal(node->GetString());
  } else if (node->IsDouble()) {
    // A non-negative fraction is truncated; a negative or too large number
    // has no unsigned meaning and leaves the field as it was.
    const double d = node->GetDouble();
    if (d >= 0.0 && d < 18446744073709551616.0) value = static_cast<uint64_t>(d);
  }
}

void JSONRead::Transfer(int16_t& value, const char* key) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node != nullptr)
    value = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(IntOf(*node))));
}

void JSONRead::Transfer(bool& value, const char* key) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node == nullptr) return;
  if (node->IsBool()) {
    value = node->GetBool();
  } else if (node->IsString()) {
    value = node->GetStringLength() == 4 && std::memcmp(node->GetString(), "true", 4) == 0;
  } else if (node->IsInt64()) {
    value = node->GetInt64() != 0;
  } else if (node->IsUint64()) {
    value = node->GetUint64() != 0;
  } else if (node->IsNumber()) {
    value = node->GetDouble() != 0.0;
  } else {
    value = false;
  }
}

void JSONRead::Transfer(std::vector<std::string>& values, const char* key) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node == nullptr) return;
  if (node->IsArray()) {
    values.resize(node->Size());
    for (rapidjson::SizeType i = 0; i < node->Size(); ++i) values[i] = StringOf((*node)[i]);
  } else if (node->IsNull()) {
    values.clear();
  }
}

bool JSONRead::EnterObject(const char* key) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node == nullptr || !node->IsObject()) return false;
  impl_->open.push_back({node, 0});
  return true;
}

JSONRead::ArrayLookup JSONRead::EnterArray(const char* key, size_t* count) {
  const Value* node = impl_->Lookup(key);
  last_found_ = node != nullptr;
  if (node == nullptr) return ArrayLookup::kOther;
  if (node->IsNull()) return ArrayLookup::kNull;
  if (!node->IsArray()) return ArrayLookup::kOther;
  *count = node->Size();
  impl_->open.push_back({node, 0});
  return ArrayLookup::kArray;
}

void JSONRead::LeaveContainer() { impl_->open.pop_back(); }

}  // namespace nelko
