#pragma once
// A whole JSON document read from and written back to a file through the
// file layer: parse, look members up, replace a value, render compactly.
#include <memory>
#include <string>
#include <string_view>

namespace nelko {

class JSONDocument;

// A view of one value inside a JSONDocument; invalid when a lookup failed.
// Valid only as long as the document and its structure are unchanged.
class JSONNode {
 public:
  JSONNode() = default;
  bool IsValid() const { return value_ != nullptr; }
  explicit operator bool() const { return IsValid(); }
  bool IsObject() const;
  // The first member named key (byte-wise); invalid when this is not an
  // object or there is no such member.
  JSONNode Member(std::string_view key) const;
  // Replaces this value, whatever its kind, with a copy of text.
  bool SetString(std::string_view text);

 private:
  friend class JSONDocument;
  JSONNode(void* value, JSONDocument* document) : value_(value), document_(document) {}
  void* value_ = nullptr;  // rapidjson::Value
  JSONDocument* document_ = nullptr;
};

class JSONDocument {
 public:
  JSONDocument();
  ~JSONDocument();
  JSONDocument(const JSONDocument&) = delete;
  JSONDocument& operator=(const JSONDocument&) = delete;

  // Parses the whole file (UTF-8 path, read with a 64 KiB buffer). False when
  // it cannot be opened or read, or does not parse; the document is then null.
  bool ParseFile(std::string_view path);
  bool ParseText(std::string_view text);

  // The root value; invalid after a failed parse.
  JSONNode Root();

  // Compact text of the document.
  std::string ToText() const;
  // Creates or truncates path and writes the compact text. True only when
  // every byte was written and the file closed cleanly.
  bool WriteFile(std::string_view path) const;

 private:
  friend class JSONNode;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nelko
