#pragma once
// Builds a JSON document from records and renders it as compact text.
//
// The transfer pattern: a record describes its fields once, in order, with
// their JSON keys, in a template method that runs against both JSONWrite and
// JSONRead:
//
//   struct LogMessage {
//     std::string message;
//     uint64_t ts = 0;
//     template <class Transferer>
//     void Transfer(Transferer& t) {
//       t.Transfer(message, "message");
//       t.Transfer(ts, "ts");
//     }
//   };
//
//   JSONWrite writer;
//   log_message.Transfer(writer);   // fields become members of the root
//   std::string text = writer.ToText();
//
// Field kinds: std::string, int32_t, uint32_t, uint64_t, int16_t, bool,
// std::vector<std::string>, a nested record (any type with such a Transfer
// method) and std::vector of records. Transferer::kReading tells the two
// apart where a record must (e.g. to skip optional members). Fields are
// taken by non-const reference in both directions, so one Transfer serves
// both; a const record is written through a copy or const_cast.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nelko {

class JSONWrite {
 public:
  static constexpr bool kReading = false;

  // The root is an empty object; it is the current container.
  JSONWrite();
  ~JSONWrite();
  JSONWrite(const JSONWrite&) = delete;
  JSONWrite& operator=(const JSONWrite&) = delete;

  // Each appends one value to the current container: as a member named key
  // in an object, as the next element in an array (key ignored).
  void Transfer(std::string& value, const char* key);  // up to the first NUL
  void Transfer(int32_t& value, const char* key);
  void Transfer(uint32_t& value, const char* key);
  void Transfer(uint64_t& value, const char* key);
  void Transfer(int16_t& value, const char* key);  // written sign-extended
  void Transfer(bool& value, const char* key);
  void Transfer(std::vector<std::string>& values, const char* key);

  // A nested record: an object built by the record's own Transfer.
  template <class Record>
  void Transfer(Record& record, const char* key) {
    BeginObject();
    record.Transfer(*this);
    EndContainer(key);
  }

  // An array of records, in order.
  template <class Record>
  void Transfer(std::vector<Record>& records, const char* key) {
    BeginArray();
    for (Record& record : records) Transfer(record, "data");
    EndContainer(key);
  }

  // The whole document as compact JSON text.
  std::string ToText() const;

 private:
  // A fresh container becomes current until EndContainer attaches it to its
  // parent under key.
  void BeginObject();
  void BeginArray();
  void EndContainer(const char* key);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nelko
