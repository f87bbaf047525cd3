#pragma once
// MD5 (RFC 1321), incremental. Used only as the checksum of cached reports,
// not for anything that needs collision resistance.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "report/digest_blocks.h"

namespace nelko {

class Md5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  Md5();
  void Update(const void* data, size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // Pads and returns the digest; the object must not be updated afterwards.
  Digest Finish();

  static Digest Of(std::string_view bytes);

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 4> state_;
  DigestBlocks blocks_;
};

}  // namespace nelko
