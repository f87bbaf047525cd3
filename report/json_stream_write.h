#pragma once
// Renders records as compact JSON text straight into a sink, a piece at a
// time, with neither a document tree nor the whole text in memory: the
// largest reports run to hundreds of megabytes of text, which a 32-bit
// handler cannot hold in one block. The text is byte for byte what
// JSONWrite renders for the same record (the same writer escapes the
// strings and formats the numbers); only where it goes differs.
//
//   JSONStreamWrite writer(sink);
//   report.Transfer(writer);   // fields become members of the root
//   bool complete = writer.Finish();
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nelko {

// Takes the text in order, in pieces of any size.
class JSONTextSink {
 public:
  virtual ~JSONTextSink() = default;
  // False when the piece could not be taken: the text is then incomplete and
  // the writer sends nothing more.
  virtual bool Write(std::string_view piece) = 0;
};

class JSONStreamWrite {
 public:
  static constexpr bool kReading = false;
  // Text is gathered into pieces of this many bytes before it goes to the
  // sink.
  static constexpr size_t kDefaultPieceSize = 64 * 1024;

  // The root object is open; fields transferred next are its members.
  explicit JSONStreamWrite(JSONTextSink& sink, size_t piece_size = kDefaultPieceSize);
  ~JSONStreamWrite();
  JSONStreamWrite(const JSONStreamWrite&) = delete;
  JSONStreamWrite& operator=(const JSONStreamWrite&) = delete;

  // As JSONWrite: a member named key in an object, the next element in an
  // array (key ignored).
  void Transfer(std::string& value, const char* key);  // up to the first NUL
  void Transfer(int32_t& value, const char* key);
  void Transfer(uint32_t& value, const char* key);
  void Transfer(uint64_t& value, const char* key);
  void Transfer(int16_t& value, const char* key);  // written sign-extended
  void Transfer(bool& value, const char* key);
  void Transfer(std::vector<std::string>& values, const char* key);

  template <class Record>
  void Transfer(Record& record, const char* key) {
    BeginObject(key);
    record.Transfer(*this);
    EndObject();
  }

  template <class Record>
  void Transfer(std::vector<Record>& records, const char* key) {
    BeginArray(key);
    for (Record& record : records) {
      // Once the sink failed the text is lost; rendering the rest of a
      // million frames would only hold the crashed engine up longer.
      if (Failed()) break;
      Transfer(record, "data");
    }
    EndArray();
  }

  // Closes the root object and sends the last piece. True when the sink
  // took the whole text.
  bool Finish();

 private:
  bool Failed() const;
  void BeginObject(const char* key);
  void BeginArray(const char* key);
  void EndObject();
  void EndArray();

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nelko
