#pragma once
// Buffered streams over one FileEntry, in the shape the JSON parser and
// writer expect (Peek/Take/Tell, Put/Flush). Portable: they only use the
// FileSystem interface.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/file_entry.h"

namespace nelko {

constexpr size_t kFileStreamBufferSize = 64 * 1024;

// Reports that a stream position was cut to fit a narrower size type.
void ReportStreamPositionTruncated();

// The position as Size; a value that does not fit is reported and cut to
// its low bits (only a 32-bit build can meet this, past 4 GiB).
template <class Size>
Size CastStreamPosition(uint64_t position) {
  if (position > static_cast<uint64_t>(static_cast<Size>(~Size{0}))) ReportStreamPositionTruncated();
  return static_cast<Size>(position);
}

class FileInputStream {
 public:
  using Ch = char;

  // Opens path for reading; check IsOpen().
  explicit FileInputStream(std::string_view path, size_t buffer_size = kFileStreamBufferSize);
  ~FileInputStream();
  FileInputStream(const FileInputStream&) = delete;
  FileInputStream& operator=(const FileInputStream&) = delete;

  bool IsOpen() const { return entry_.IsOpen(); }
  // True once a read call failed for another reason than the end of file.
  bool ReadFailed() const { return read_failed_; }
  const FileEntry& entry() const { return entry_; }

  // True once every byte of the file has been taken (a NUL byte inside the
  // file reads as '\0' too; this tells the two apart).
  bool AtEnd() const { return current_ >= end_ && eof_; }
  // '\0' at the end of the file.
  Ch Peek() const { return current_ < end_ ? *current_ : '\0'; }
  Ch Take();
  // Bytes taken so far. Beyond 4 GiB the count does not fit the parser's size
  // type on 32-bit builds: that is reported and the value truncated.
  size_t Tell() const;
  uint64_t Position() const { return consumed_ + static_cast<uint64_t>(current_ - buffer_.data()); }

  // Writing is not supported on an input stream.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  void Refill();

  FileEntry entry_;
  std::vector<char> buffer_;
  const char* current_ = nullptr;
  const char* end_ = nullptr;
  uint64_t consumed_ = 0;     // bytes before buffer_[0]
  uint64_t file_offset_ = 0;  // next offset to read from the file
  bool eof_ = false;
  bool read_failed_ = false;
};

class FileOutputStream {
 public:
  using Ch = char;

  // Creates or truncates path; check IsOpen().
  explicit FileOutputStream(std::string_view path, size_t buffer_size = kFileStreamBufferSize);
  // Flushes and closes; use Close() to learn whether that worked.
  ~FileOutputStream();
  FileOutputStream(const FileOutputStream&) = delete;
  FileOutputStream& operator=(const FileOutputStream&) = delete;

  bool IsOpen() const { return entry_.IsOpen(); }
  const FileEntry& entry() const { return entry_; }

  void Put(Ch c);
  void Write(std::string_view bytes);
  void Flush();
  // Flushes, closes and tells whether every byte reached the file.
  bool Close();
  bool Failed() const { return failed_; }

 private:
  FileEntry entry_;
  std::vector<char> buffer_;
  size_t used_ = 0;
  uint64_t file_offset_ = 0;
  bool failed_ = false;
};

}  // namespace nelko
