#include "base/decimal_parse.h"

#include <gtest/gtest.h>

namespace nelko {
namespace {

TEST(ParseDecimalU32, AcceptsTheWholeRangeAndRejectsOneMore) {
  uint32_t v = 1;
  EXPECT_TRUE(ParseDecimalU32("4294967295", &v));
  EXPECT_EQ(v, 4294967295u);
  EXPECT_FALSE(ParseDecimalU32("4294967296", &v));
  EXPECT_FALSE(ParseDecimalU32("4294967300", &v));
  EXPECT_FALSE(ParseDecimalU32("42949672950", &v));
  EXPECT_FALSE(ParseDecimalU32("99999999999999999999", &v));
  EXPECT_TRUE(ParseDecimalU32("00000000000004294967295", &v)) << "leading zeros never overflow";
  EXPECT_EQ(v, 4294967295u);
}

TEST(ParseDecimalU32, TheEmptyTextIsZeroAndNullFails) {
  uint32_t v = 7;
  EXPECT_TRUE(ParseDecimalU32("", &v));
  EXPECT_EQ(v, 0u);
  EXPECT_FALSE(ParseDecimalU32(static_cast<const char*>(nullptr), &v));
  EXPECT_FALSE(ParseDecimalU32(static_cast<const wchar_t*>(nullptr), &v));
}

TEST(ParseDecimalU32, RejectsSignsBlanksPrefixesAndOtherDigits) {
  uint32_t v = 0;
  for (const char* text : {"-5", "+5", " 5", "5 ", "0x10", "1e3", "abc", "12a", "\xD9\xA3"}) {
    EXPECT_FALSE(ParseDecimalU32(text, &v)) << text;
  }
  for (const wchar_t* text : {L"-1", L"0x1F", L"\x0663", L"\xFF11"}) {
    EXPECT_FALSE(ParseDecimalU32(text, &v));
  }
  EXPECT_TRUE(ParseDecimalU32(L"4294967295", &v));
  EXPECT_EQ(v, 4294967295u);
  EXPECT_FALSE(ParseDecimalU32(L"4294967296", &v));
}

TEST(ParseDecimalU64, AcceptsTheWholeRangeAndRejectsOneMore) {
  uint64_t v = 0;
  EXPECT_TRUE(ParseDecimalU64("18446744073709551615", &v));
  EXPECT_EQ(v, 18446744073709551615ull);
  EXPECT_FALSE(ParseDecimalU64("18446744073709551616", &v));
  EXPECT_FALSE(ParseDecimalU64("-1", &v));
  EXPECT_TRUE(ParseDecimalU64("", &v));
  EXPECT_EQ(v, 0u);
}

TEST(ParseDecimalI32, AcceptsOnlyTheNonNegativeRange) {
  int32_t v = 0;
  EXPECT_TRUE(ParseDecimalI32("2147483647", &v));
  EXPECT_EQ(v, 2147483647);
  EXPECT_FALSE(ParseDecimalI32("2147483648", &v));
  EXPECT_FALSE(ParseDecimalI32("-1", &v));
  EXPECT_FALSE(ParseDecimalI32(nullptr, &v));
  EXPECT_TRUE(ParseDecimalI32("70000", &v));
  EXPECT_EQ(v, 70000);
}

TEST(DecimalParsers, LeaveTheValueAloneOnFailure) {
  uint32_t v = 123;
  EXPECT_FALSE(ParseDecimalU32("12x", &v));
  EXPECT_EQ(v, 123u);
}

}  // namespace
}  // namespace nelko
