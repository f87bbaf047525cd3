// Report compression: the exact gzip header, a round trip through zlib's
// own inflate, and the same member whether the input comes whole or in
// pieces.
#include "report/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace nelko {
namespace {

std::string Inflate(const std::string& gz) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
  std::string out;
  char buffer[4096];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  stream.avail_in = static_cast<uInt>(gz.size());
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof(buffer) - stream.avail_out);
  }
  EXPECT_EQ(result, Z_STREAM_END);
  EXPECT_EQ(stream.avail_in, 0u) << "bytes after the one gzip member";
  inflateEnd(&stream);
  return out;
}

std::string Noise(size_t size) {
  std::string noise;
  uint32_t x = 12345;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    noise += static_cast<char>(x >> 24);
  }
  return noise;
}

std::string StreamInPieces(const std::string& text, size_t piece_size) {
  GzipStream gzip;
  for (size_t at = 0; at < text.size(); at += piece_size) {
    EXPECT_TRUE(gzip.Append(std::string_view(text).substr(at, piece_size)));
  }
  std::string gz = "unchanged";
  EXPECT_TRUE(gzip.Finish(&gz));
  return gz;
}

TEST(CompressGzip, HeaderBytesAreFixed) {
  std::string gz;
  ASSERT_TRUE(CompressGzip("{\"app_build\":\"\"}", &gz));
  ASSERT_GE(gz.size(), 18u);
  const unsigned char expected[10] = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(static_cast<unsigned char>(gz[i]), expected[i]) << "byte " << i;
}

TEST(CompressGzip, RoundTripsThroughInflate) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "{\"frame\":" + std::to_string(i * 7919 % 1000) + "},";
  std::string gz;
  ASSERT_TRUE(CompressGzip(text, &gz));
  EXPECT_LT(gz.size(), text.size() / 4);
  EXPECT_EQ(Inflate(gz), text);
}

TEST(CompressGzip, TrailerCarriesCrcAndLength) {
  const std::string text = "crash";
  std::string gz;
  ASSERT_TRUE(CompressGzip(text, &gz));
  const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()), 5);
  auto le32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(gz[at + i])) << (8 * i);
    return v;
  };
  EXPECT_EQ(le32(gz.size() - 8), static_cast<uint32_t>(crc));
  EXPECT_EQ(le32(gz.size() - 4), 5u);
}

TEST(CompressGzip, IncompressibleAndEmptyInput) {
  const std::string noise = Noise(100000);
  std::string gz;
  ASSERT_TRUE(CompressGzip(noise, &gz));
  EXPECT_EQ(Inflate(gz), noise);

  ASSERT_TRUE(CompressGzip("", &gz));
  EXPECT_EQ(Inflate(gz), "");
}

// Upload mode reads a report back to rebuild its lost metadata: only a
// whole member counts, and a small file cannot make it hold a huge text.
TEST(DecompressGzip, OnlyAWholeMemberWithinTheLimitIsRead) {
  const std::string text(200000, 'r');
  std::string gz;
  ASSERT_TRUE(CompressGzip(text, &gz));
  std::string out = "before";
  EXPECT_EQ(DecompressGzip(gz, &out, text.size()), GunzipResult::kOk);
  EXPECT_EQ(out, text);
  out = "before";
  EXPECT_EQ(DecompressGzip(gz, &out, text.size() - 1), GunzipResult::kTooLarge);
  EXPECT_EQ(DecompressGzip(gz.substr(0, gz.size() - 1), &out, 1 << 20), GunzipResult::kCorrupt);
  EXPECT_EQ(DecompressGzip(gz + "x", &out, 1 << 20), GunzipResult::kCorrupt);
  std::string flipped = gz;
  flipped[flipped.size() - 6] ^= 1;  // the CRC
  EXPECT_EQ(DecompressGzip(flipped, &out, 1 << 20), GunzipResult::kCorrupt);
  EXPECT_EQ(DecompressGzip("", &out, 1 << 20), GunzipResult::kCorrupt);
  EXPECT_EQ(out, "before");
}

TEST(GzipStream, PiecesGiveTheSameMemberAsOneCall) {
  std::string text;
  for (int i = 0; i < 60000; ++i) text += "{\"frame\":" + std::to_string(i * 7919 % 1000) + "},";
  // Mixed: long matches, then bytes that do not compress, then matches
  // again, so that deflate changes its block kinds across piece boundaries.
  text += Noise(70000) + text.substr(0, 200000);
  std::string whole;
  ASSERT_TRUE(CompressGzip(text, &whole));
  for (size_t piece_size : {size_t{1}, size_t{4093}, size_t{65536}, text.size()}) {
    EXPECT_TRUE(StreamInPieces(text, piece_size) == whole) << "pieces of " << piece_size;
  }
  ASSERT_TRUE(CompressGzip("", &whole));
  EXPECT_EQ(StreamInPieces("", 1), whole);
}

TEST(GzipStream, EndsOnceAndRefusesMore) {
  GzipStream gzip;
  ASSERT_TRUE(gzip.Append("crash"));
  std::string gz;
  ASSERT_TRUE(gzip.Finish(&gz));
  EXPECT_EQ(Inflate(gz), "crash");
  std::string again = "unchanged";
  EXPECT_FALSE(gzip.Append("more"));
  EXPECT_FALSE(gzip.Finish(&again));
  EXPECT_EQ(again, "unchanged");
}

}  // namespace
}  // namespace nelko
