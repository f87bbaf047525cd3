#include "report/json_stream_write.h"

#include <rapidjson/writer.h>

#include <algorithm>
#include <cstring>

namespace nelko {

namespace {

// The writer's output stream: a fixed buffer that goes to the sink whenever
// it fills, and once more when the root closes.
class PieceStream {
 public:
  using Ch = char;

  PieceStream(JSONTextSink& sink, size_t piece_size)
      : sink_(sink), buffer_(std::max<size_t>(piece_size, 1)), next_(buffer_.data()) {}

  void Put(Ch c) {
    if (next_ == buffer_.data() + buffer_.size()) Send();
    *next_++ = c;
  }
  void Flush() { Send(); }
  bool failed() const { return failed_; }

 private:
  void Send() {
    const size_t size = static_cast<size_t>(next_ - buffer_.data());
    if (size != 0 && !failed_) failed_ = !sink_.Write(std::string_view(buffer_.data(), size));
    next_ = buffer_.data();
  }

  JSONTextSink& sink_;
  std::vector<Ch> buffer_;
  Ch* next_;
  bool failed_ = false;
};

}  // namespace

struct JSONStreamWrite::Impl {
  Impl(JSONTextSink& sink, size_t piece_size) : stream(sink, piece_size), writer(stream) {}

  // Members of an object carry their key; elements of an array do not.
  void Key(const char* key) {
    if (!in_array.back()) writer.Key(key);
  }

  PieceStream stream;
  rapidjson::Writer<PieceStream> writer;
  // One entry per open container, the root object first.
  std::vector<bool> in_array{false};
  bool finished = false;
};

JSONStreamWrite::JSONStreamWrite(JSONTextSink& sink, size_t piece_size)
    : impl_(std::make_unique<Impl>(sink, piece_size)) {
  impl_->writer.StartObject();
}

JSONStreamWrite::~JSONStreamWrite() = default;

void JSONStreamWrite::Transfer(std::string& value, const char* key) {
  impl_->Key(key);
  // Only the bytes before an embedded NUL are written.
  impl_->writer.String(value.c_str(), static_cast<rapidjson::SizeType>(std::strlen(value.c_str())));
}

void JSONStreamWrite::Transfer(int32_t& value, const char* key) {
  impl_->Key(key);
  impl_->writer.Int(value);
}

void JSONStreamWrite::Transfer(uint32_t& value, const char* key) {
  impl_->Key(key);
  impl_->writer.Uint(value);
}

void JSONStreamWrite::Transfer(uint64_t& value, const char* key) {
  impl_->Key(key);
  impl_->writer.Uint64(value);
}

void JSONStreamWrite::Transfer(int16_t& value, const char* key) {
  impl_->Key(key);
  impl_->writer.Int(value);
}

void JSONStreamWrite::Transfer(bool& value, const char* key) {
  impl_->Key(key);
  impl_->writer.Bool(value);
}

void JSONStreamWrite::Transfer(std::vector<std::string>& values, const char* key) {
  BeginArray(key);
  for (std::string& value : values) Transfer(value, "data");
  EndArray();
}

bool JSONStreamWrite::Finish() {
  if (!impl_->finished) {
    impl_->finished = true;
    // Closing the root makes the writer flush its stream.
    impl_->writer.EndObject();
  }
  return !impl_->stream.failed();
}

bool JSONStreamWrite::Failed() const { return impl_->stream.failed(); }

void JSONStreamWrite::BeginObject(const char* key) {
  impl_->Key(key);
  impl_->writer.StartObject();
  impl_->in_array.push_back(false);
}

void JSONStreamWrite::BeginArray(const char* key) {
  impl_->Key(key);
  impl_->writer.StartArray();
  impl_->in_array.push_back(true);
}

void JSONStreamWrite::EndObject() {
  impl_->in_array.pop_back();
  impl_->writer.EndObject();
}

void JSONStreamWrite::EndArray() {
  impl_->in_array.pop_back();
  impl_->writer.EndArray();
}

}  // namespace nelko
