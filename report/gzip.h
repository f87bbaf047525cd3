#pragma once
// gzip compression of a report, at once or as its text arrives, and reading one back.
#include <memory>
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

// The same member built from bytes that arrive in pieces, so that the whole
// input never has to exist at once. deflate decides its blocks by what it
// has seen, not by how the input was cut, when nothing is flushed before the
// end: the member is byte for byte what CompressGzip makes of the pieces
// joined.
class GzipStream {
 public:
  GzipStream();
  ~GzipStream();
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  // Compresses the next piece. False once zlib failed or memory ran out;
  // every later call then fails too.
  bool Append(std::string_view bytes);
  // Ends the member and moves it into *compressed. False when any step
  // failed; *compressed is then unchanged.
  bool Finish(std::string* compressed);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nelko
