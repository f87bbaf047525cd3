#include "report/report_id.h"

#include <gtest/gtest.h>

namespace nelko {
namespace {

TEST(ReportId, EachByteGivesItsLowDigitThenItsHighDigit) {
  GuidBytes guid = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                    0x00, 0xFF, 0x10, 0x0F, 0xA5, 0x5A, 0x80, 0x08};
  EXPECT_EQ(FormatReportId(guid), "1032547698badcfe00ff01f05aa50880");
}

TEST(ReportId, NewIdsAreFreshAndWellFormed) {
  const std::string a = NewReportId();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, NewReportId());
}

TEST(ReportTime, FileTimeTicksBecomeUnixMillisecondsRoundedDown) {
  EXPECT_EQ(UnixMillisecondsFromFileTime(116444736000000000ull), 0u);
  EXPECT_EQ(UnixMillisecondsFromFileTime(116444736000009999ull), 0u);
  EXPECT_EQ(UnixMillisecondsFromFileTime(116444736000010000ull), 1u);
  // 2026-03-05 14:23:01.042 UTC.
  EXPECT_EQ(UnixMillisecondsFromFileTime(134171941810420000ull), 1772720581042ull);
}

TEST(ReportTime, ClockBefore1970GivesZeroNotAFarFuture) {
  EXPECT_EQ(UnixMillisecondsFromFileTime(0), 0u);
  EXPECT_EQ(UnixMillisecondsFromFileTime(116444735999990000ull), 0u);
}

TEST(ReportTime, CurrentTimeIsAfter2020) { EXPECT_GT(CurrentReportTime(), 1577836800000ull); }

}  // namespace
}  // namespace nelko
