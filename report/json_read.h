#pragma once
// Fills records from JSON text with the same Transfer methods that write
// them (see json_write.h). Lenient: a missing key, or text that does not
// parse, leaves the field as it was; other kinds are converted.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nelko {

// The lenient decimal parse of text fields read into numbers: leading
// whitespace (space, 0x09 to 0x0D), one optional sign, then digits up to the
// first non-digit, accumulated in 64 bits with wrap-around; negated in two's
// complement after a '-'. No digits give 0.
uint64_t ParseLenientDecimal(const char* text);

class JSONRead {
 public:
  static constexpr bool kReading = true;

  // Parses the NUL-terminated UTF-8 text at once. Text that does not parse
  // (including a second value after the root) gives a null document, so
  // every field keeps its value.
  explicit JSONRead(const char* text);
  ~JSONRead();
  JSONRead(const JSONRead&) = delete;
  JSONRead& operator=(const JSONRead&) = delete;

  // Whether the text parsed and its root is an object (any other root is
  // read as nothing, so every field keeps its value).
  bool IsValid() const;
  // Whether the key of the last transferred field was found.
  bool DidReadLastField() const { return last_found_; }

  void Transfer(std::string& value, const char* key);
  void Transfer(int32_t& value, const char* key);
  void Transfer(uint32_t& value, const char* key);
  void Transfer(uint64_t& value, const char* key);
  void Transfer(int16_t& value, const char* key);
  void Transfer(bool& value, const char* key);
  void Transfer(std::vector<std::string>& values, const char* key);

  // A nested record: read only from an object.
  template <class Record>
  void Transfer(Record& record, const char* key) {
    if (!EnterObject(key)) return;
    record.Transfer(*this);
    LeaveContainer();
    last_found_ = true;
  }

  // An array of records: resized to the array's length and each element read
  // from its object; null empties it; anything else leaves it unchanged.
  template <class Record>
  void Transfer(std::vector<Record>& records, const char* key) {
    size_t count = 0;
    switch (EnterArray(key, &count)) {
      case ArrayLookup::kArray:
        records.resize(count);
        for (Record& record : records) Transfer(record, "data");
        LeaveContainer();
        last_found_ = true;
        break;
      case ArrayLookup::kNull:
        records.clear();
        break;
      case ArrayLookup::kOther:
        break;
    }
  }

 private:
  enum class ArrayLookup { kArray, kNull, kOther };
  // Look key up in the current node; on an object/array the found node
  // becomes current until LeaveContainer.
  bool EnterObject(const char* key);
  ArrayLookup EnterArray(const char* key, size_t* count);
  void LeaveContainer();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool last_found_ = false;
};

}  // namespace nelko
