#include "platform/file_stream.h"

#include <algorithm>
#include <cstring>

#include "base/log_entry.h"
#include "platform/file_system.h"

namespace nelko {

void ReportStreamPositionTruncated() {
  ReportError(
      "Value cannot be stored by type cast target: exceeds maximum representable value. Result will be "
      "truncated.",
      "Runtime/VirtualFileSystem/VirtualFileSystemTypes", 136);
}

FileInputStream::FileInputStream(std::string_view path, size_t buffer_size)
    : entry_(path), buffer_(std::max<size_t>(buffer_size, 1)) {
  current_ = end_ = buffer_.data();
  if (!entry_.accessor->Open(entry_, FileMode::kRead)) eof_ = true;
  Refill();
}

FileInputStream::~FileInputStream() {
  if (entry_.IsOpen()) entry_.accessor->Close(entry_);
}

void FileInputStream::Refill() {
  consumed_ += static_cast<uint64_t>(end_ - buffer_.data());
  current_ = end_ = buffer_.data();
  if (eof_) return;
  uint64_t done = 0;
  if (!entry_.accessor->ReadAt(entry_, file_offset_, buffer_.size(), buffer_.data(), &done) || done == 0) {
    // ReadAt fails at the end of the file with no error recorded.
    eof_ = true;
    read_failed_ = entry_.error != FileError::kNone;
    return;
  }
  file_offset_ += done;
  end_ = buffer_.data() + done;
}

FileInputStream::Ch FileInputStream::Take() {
  if (current_ >= end_) return '\0';
  const Ch c = *current_++;
  if (current_ == end_) Refill();
  return c;
}

size_t FileInputStream::Tell() const { return CastStreamPosition<size_t>(Position()); }

FileOutputStream::FileOutputStream(std::string_view path, size_t buffer_size)
    : entry_(path), buffer_(std::max<size_t>(buffer_size, 1)) {
  if (!entry_.accessor->Open(entry_, FileMode::kWrite)) failed_ = true;
}

FileOutputStream::~FileOutputStream() { Close(); }

void FileOutputStream::Put(Ch c) {
  if (used_ == buffer_.size()) Flush();
  buffer_[used_++] = c;
}

void FileOutputStream::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (used_ == buffer_.size()) Flush();
    const size_t n = std::min(bytes.size(), buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, bytes.data(), n);
    used_ += n;
    bytes.remove_prefix(n);
  }
}

void FileOutputStream::Flush() {
  if (used_ == 0) return;
  uint64_t done = 0;
  if (!entry_.IsOpen() || !entry_.accessor->WriteAt(entry_, file_offset_, used_, buffer_.data(), &done)) {
    failed_ = true;
  }
  file_offset_ += done;
  used_ = 0;
}

bool FileOutputStream::Close() {
  Flush();
  if (entry_.IsOpen() && !entry_.accessor->Close(entry_)) failed_ = true;
  return !failed_;
}

}  // namespace nelko
