#include "session/message_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace nelko {

MessageReader::MessageReader(ByteSource& source, size_t block_size)
    : source_(source), block_(std::max<size_t>(block_size, 4)) {}

MessageReader::Status MessageReader::Fill(size_t n) {
  if (end_ - begin_ >= n) return Status::kMessage;
  if (block_.size() - begin_ < n) {
    std::memmove(block_.data(), block_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ - begin_ < n) {
    size_t got = 0;
    uint32_t error = 0;
    if (!source_.Read(block_.data() + end_, block_.size() - end_, &got, &error)) {
      error_ = error;
      return Status::kReadFailed;
    }
    // A read that succeeds with nothing means the source is at its end (a
    // file or device rather than a pipe): treat it as the writer closing.
    if (got == 0) return Status::kEnd;
    end_ += got;
  }
  return Status::kMessage;
}

bool MessageReader::Reserve(size_t bytes) {
  if (bytes <= payload_.capacity()) return true;
  if (bytes > allocation_limit_) return false;
  try {
    payload_.reserve(bytes);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

MessageReader::Status MessageReader::Next() {
  // A large message's buffer is given back before the next one, so one burst
  // does not pin its memory for the rest of the session (and into crash
  // capture, where a 32-bit handler needs its address space).
  if (payload_.capacity() > kKeptPayloadBytes) std::vector<char>().swap(payload_);
  payload_.clear();
  in_message_ = false;
  Status status = Fill(4);
  if (status != Status::kMessage) return status;
  in_message_ = true;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(block_.data() + begin_);
  length_ = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
            static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  begin_ += 4;
  if (length_ > kMaxMessageLength) return Status::kTooLong;

  size_t remaining = length_;
  while (remaining > 0) {
    if (begin_ == end_) {
      begin_ = end_ = 0;
      status = Fill(1);
      // A message cut short is not applied: half a command would store
      // truncated data as if it were whole. A clean end inside a message
      // is still an end of the stream.
      if (status != Status::kMessage) return status;
    }
    const size_t take = std::min(remaining, end_ - begin_);
    const size_t needed = payload_.size() + take + 1;
    if (needed > payload_.capacity()) {
      // Grow by doubling, but never beyond what the message can need.
      const size_t target = std::min<size_t>(std::max(needed, payload_.capacity() * 2), size_t{length_} + 1);
      if (!Reserve(target)) return Status::kOutOfMemory;
    }
    payload_.insert(payload_.end(), block_.data() + begin_, block_.data() + begin_ + take);
    begin_ += take;
    remaining -= take;
  }
  if (payload_.empty() || payload_.back() != '\0') {
    if (!Reserve(payload_.size() + 1)) return Status::kOutOfMemory;
    payload_.push_back('\0');
  }
  in_message_ = false;
  return Status::kMessage;
}

}  // namespace nelko
