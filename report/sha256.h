#pragma once
// SHA-256 (FIPS 180-4), incremental.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "report/digest_blocks.h"

namespace nelko {

class Sha256 {
 public:
  using Digest = std::array<uint8_t, 32>;

  Sha256();
  void Update(const void* data, size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // Pads and returns the digest; the object must not be updated afterwards.
  Digest Finish();

  static Digest Of(std::string_view bytes);

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  DigestBlocks blocks_;
};

// Lowercase hexadecimal, high digit first for each byte.
std::string DigestToHex(const uint8_t* digest, size_t size);

}  // namespace nelko
