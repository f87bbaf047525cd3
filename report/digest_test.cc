// SHA-256 and MD5 against the published test vectors, plus the padding
// boundaries and split updates where block buffering goes wrong.
#include <gtest/gtest.h>

#include <string>

#include "report/md5.h"
#include "report/sha256.h"

namespace nelko {
namespace {

std::string Sha256Hex(const std::string& text) {
  const Sha256::Digest d = Sha256::Of(text);
  return DigestToHex(d.data(), d.size());
}

std::string Md5Hex(const std::string& text) {
  const Md5::Digest d = Md5::Of(text);
  return DigestToHex(d.data(), d.size());
}

TEST(Sha256, PublishedVectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(
      Sha256Hex(
          "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
          "mnopqrstnopqrstu"),
      "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256, MillionLettersInUnevenPieces) {
  Sha256 sha;
  const std::string piece(997, 'a');
  size_t left = 1000000;
  while (left > 0) {
    const size_t n = left < piece.size() ? left : piece.size();
    sha.Update(piece.data(), n);
    left -= n;
  }
  const Sha256::Digest d = sha.Finish();
  EXPECT_EQ(DigestToHex(d.data(), d.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Lengths around the point where the length field no longer fits the last block.
TEST(Sha256, PaddingBoundaries) {
  EXPECT_EQ(Sha256Hex(std::string(55, 'x')),
            "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072");
  EXPECT_EQ(Sha256Hex(std::string(56, 'x')),
            "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e");
  EXPECT_EQ(Sha256Hex(std::string(63, 'x')),
            "75220b47218278e656f2013bb8f0c455a25eaf01e86c64924e9d48d89776d6f2");
  EXPECT_EQ(Sha256Hex(std::string(64, 'x')),
            "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c");
  EXPECT_EQ(Sha256Hex(std::string(119, 'x')),
            "000b48d4edf0fa7bee3c6236ecd2785baa5db4eeb8bb54341b029e0d9fa5fb0c");
}

TEST(Sha256, EverySplitGivesTheOneShotDigest) {
  std::string text;
  for (int i = 0; i < 150; ++i) text += static_cast<char>(i * 7);
  const Sha256::Digest whole = Sha256::Of(text);
  for (size_t split = 0; split <= text.size(); ++split) {
    Sha256 sha;
    sha.Update(text.data(), split);
    sha.Update(text.data() + split, text.size() - split);
    EXPECT_EQ(sha.Finish(), whole) << "split at " << split;
  }
}

TEST(Md5, PublishedVectors) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PaddingBoundaries) {
  EXPECT_EQ(Md5Hex(std::string(55, 'x')), "04364420e25c512fd958a70738aa8f72");
  EXPECT_EQ(Md5Hex(std::string(56, 'x')), "668a72d5ba17f08e62dabcafad6db14b");
  EXPECT_EQ(Md5Hex(std::string(63, 'x')), "7dc2ca208106a2f703567bdff99d8981");
  EXPECT_EQ(Md5Hex(std::string(64, 'x')), "c1bb4f81d892b2d57947682aeb252456");
  EXPECT_EQ(Md5Hex(std::string(119, 'x')), "ab347a5f68c8a443cfcddc633f12c24f");
}

TEST(Md5, EverySplitGivesTheOneShotDigest) {
  std::string text;
  for (int i = 0; i < 150; ++i) text += static_cast<char>(255 - i);
  const Md5::Digest whole = Md5::Of(text);
  for (size_t split = 0; split <= text.size(); ++split) {
    Md5 md5;
    md5.Update(text.data(), split);
    md5.Update(text.data() + split, text.size() - split);
    EXPECT_EQ(md5.Finish(), whole) << "split at " << split;
  }
}

}  // namespace
}  // namespace nelko
