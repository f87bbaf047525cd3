#include "client/message_encoding.h"

#include <gtest/gtest.h>

namespace nelko::client {
namespace {

TEST(MessageEncoding, LengthIsLittleEndianAndEveryStringEndsWithNul) {
  EXPECT_EQ(EncodeMessage({"SetInfo", "hi"}), std::string("\x0B\x00\x00\x00SetInfo\0hi\0", 15));
  EXPECT_EQ(EncodeMessage({"SetInfo", ""}), std::string("\x09\x00\x00\x00SetInfo\0\0", 13));
}

TEST(MessageEncoding, LongPayloadsUseAllFourLengthBytes) {
  const std::string big(0x10203 - 3, 'x');  // "A\0" + big + "\0"
  const std::string m = EncodeMessage({"A", big});
  ASSERT_EQ(m.size(), 4u + 0x10203u);
  EXPECT_EQ(m.substr(0, 4), std::string("\x03\x02\x01\x00", 4));
}

TEST(MessageEncoding, RefusesAStringWithANulByte) {
  std::string out = "keep";
  EXPECT_FALSE(AppendMessage(out, {"SetInfo", std::string_view("a\0b", 3)}));
  EXPECT_EQ(out, "keep");
  EXPECT_EQ(EncodeMessage({std::string_view("\0", 1)}), "");
}

TEST(MessageEncoding, AppendsMessagesBackToBack) {
  std::string out;
  ASSERT_TRUE(AppendMessage(out, {"SetAppName", "G"}));
  ASSERT_TRUE(AppendMessage(out, {"SetVendor", "V"}));
  EXPECT_EQ(out, EncodeMessage({"SetAppName", "G"}) + EncodeMessage({"SetVendor", "V"}));
}

}  // namespace
}  // namespace nelko::client
