#pragma once
// Cuts the command stream into messages. Wire format, repeated until the
// stream ends: a 32-bit little-endian payload length N (at most 0x7FFFFFFF),
// then N bytes of NUL-separated strings whose last NUL may be left out.
//
// The reader takes large blocks from its source and cuts messages out of
// them, so a busy engine costs one read call for many messages. The payload
// buffer grows only as bytes arrive, so a bogus length cannot make the
// handler reserve memory that the engine never sends.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "client/protocol.h"

namespace nelko {

constexpr uint32_t kMaxMessageLength = kMaxPayloadBytes;
// The payload buffer is kept for the next message up to this size.
constexpr size_t kKeptPayloadBytes = 64 * 1024;

// Where the bytes come from (the standard-input pipe, or a test's buffer).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes, blocking until at least one is there. Returns
  // false on failure with the system's error code in `*error`; true with
  // `*got` 0 when the source has nothing more to give.
  virtual bool Read(char* buffer, size_t size, size_t* got, uint32_t* error) = 0;
};

class MessageReader {
 public:
  enum class Status {
    kMessage,      // a message is ready
    kEnd,          // the source ended between two messages (or with a zero-byte read)
    kReadFailed,   // a read failed; error() holds the code
    kTooLong,      // a length word above kMaxMessageLength
    kOutOfMemory,  // the payload did not fit in memory
  };

  explicit MessageReader(ByteSource& source, size_t block_size = 64 * 1024);

  // Takes the next message. With kMessage, data()/size() are the payload
  // followed by one NUL when it did not end with one (an empty payload is the
  // single byte NUL); valid until the next call.
  Status Next();

  // True between messages with nothing read ahead: a read the reader makes
  // now waits for a new message, not for the rest of one.
  bool idle() const { return !in_message_ && begin_ == end_; }

  const char* data() const { return payload_.data(); }
  size_t size() const { return payload_.size(); }
  uint32_t error() const { return error_; }
  uint32_t length() const { return length_; }  // the last length word read
  size_t payload_capacity() const { return payload_.capacity(); }

  // Lets tests play an allocation failure: a payload buffer that would
  // grow beyond `bytes` fails as an exhausted heap does.
  void set_allocation_limit(size_t bytes) { allocation_limit_ = bytes; }

 private:
  // Makes at least `n` bytes (n <= block size) available in the block.
  Status Fill(size_t n);
  bool Reserve(size_t bytes);

  ByteSource& source_;
  std::vector<char> block_;
  size_t begin_ = 0;  // unread bytes are block_[begin_, end_)
  size_t end_ = 0;
  std::vector<char> payload_;
  uint32_t error_ = 0;
  uint32_t length_ = 0;
  bool in_message_ = false;
  size_t allocation_limit_ = std::numeric_limits<size_t>::max();
};

}  // namespace nelko
