#pragma once
// One-shot gzip compression of a report, and reading one back.
#include <string>
#include <string_view>

namespace nelko {

// One gzip member of bytes (deflate level 6, 32 KiB window, memory level 8,
// default strategy, no custom header: the member starts 1F 8B 08 00 00 00
// 00 00 00 0A). False when zlib fails.
bool CompressGzip(std::string_view bytes, std::string* compressed);

enum class GunzipResult { kOk, kCorrupt, kTooLarge };

// The content of exactly one gzip member (CRC and length checked, nothing
// after it). kTooLarge when it would exceed `limit` bytes or memory runs out.
GunzipResult DecompressGzip(std::string_view gzip, std::string* content, size_t limit);

}  // namespace nelko
