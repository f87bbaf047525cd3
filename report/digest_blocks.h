#pragma once
// The 64-byte block buffering that MD5 and SHA-256 share: bytes are gathered
// into whole blocks, each handed to the digest's compression function.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nelko {

struct DigestBlocks {
  static constexpr size_t kBlockSize = 64;
  uint8_t buffer[kBlockSize];
  size_t buffered = 0;
  uint64_t total_bytes = 0;

  template <class CompressBlock>
  void Feed(const void* data, size_t size, CompressBlock&& compress) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    total_bytes += size;
    if (buffered > 0) {
      const size_t take = size < kBlockSize - buffered ? size : kBlockSize - buffered;
      std::memcpy(buffer + buffered, bytes, take);
      buffered += take;
      bytes += take;
      size -= take;
      if (buffered < kBlockSize) return;
      compress(buffer);
      buffered = 0;
    }
    for (; size >= kBlockSize; size -= kBlockSize, bytes += kBlockSize) compress(bytes);
    if (size > 0) std::memcpy(buffer, bytes, size);
    buffered = size;
  }
};

}  // namespace nelko
