// The upload request's bytes: body, headers, target URL and the formatting
// helper under them.
#include "upload/multipart_body.h"

#include <gtest/gtest.h>

#include <string>

namespace nelko {
namespace {

const std::string kBoundary = "----------V2ymHFg03ehbqgZCaKO6jy";

std::string ExpectedBody(const std::string& data) {
  return "--" + kBoundary +
         "\r\n"
         "Content-Disposition: form-data; name=\"ver\"\r\n"
         "\r\n"
         "1.0\r\n"
         "--" +
         kBoundary +
         "\r\n"
         "Content-Disposition: form-data; name=\"lan\"\r\n"
         "\r\n"
         "en\r\n"
         "--" +
         kBoundary +
         "\r\n"
         "Content-Disposition: form-data; name=\"file\"; filename=\"data.crashreportevent.gz\"\r\n"
         "Content-Type: application/octet-stream\r\n"
         "\r\n" +
         data + "\r\n--" + kBoundary + "--\r\n";
}

CachedReport Report(const std::string& data, const std::string& project = "p") {
  CachedReport report;
  report.data = data;
  report.project_id = project;
  return report;
}

TEST(MultipartBody, BoundaryIsTenHyphensAndTwentyTwoLettersAndDigits) {
  EXPECT_EQ(std::string(kMultipartBoundary), kBoundary);
  EXPECT_EQ(kBoundary.size(), 32u);
  EXPECT_EQ(kBoundary.find_first_not_of('-'), 10u);
}

TEST(MultipartBody, EmptyReportGivesTheTextPartsAlone) {
  std::string body;
  BuildMultipartBody(Report(""), body);
  EXPECT_EQ(body, ExpectedBody(""));
  EXPECT_EQ(body.size(), 373u);
}

TEST(MultipartBody, ReportBytesGoInUnchangedIncludingZerosAndLineBreaks) {
  const std::string data("\x1f\x00\n", 3);
  std::string body;
  BuildMultipartBody(Report(data), body);
  EXPECT_EQ(body, ExpectedBody(data));
  EXPECT_EQ(body.size(), 376u);
  EXPECT_EQ(body.compare(0, 2 + kBoundary.size(), "--" + kBoundary), 0);
  const std::string end = "\r\n--" + kBoundary + "--\r\n";
  EXPECT_EQ(body.compare(body.size() - end.size(), end.size(), end), 0);
}

TEST(MultipartBody, AppendsToWhatTheOutputAlreadyHolds) {
  std::string body = "x";
  BuildMultipartBody(Report("abc"), body);
  EXPECT_EQ(body, "x" + ExpectedBody("abc"));
}

TEST(MultipartBody, ReservesRoomForTheReportAndTheTextParts) {
  const std::string data(100000, '\x8b');
  std::string body;
  BuildMultipartBody(Report(data), body);
  EXPECT_GE(body.capacity(), data.size() + 2048);
  EXPECT_EQ(body, ExpectedBody(data));
}

TEST(UploadHeaders, ContentLengthIsTheBodyLength) {
  for (const std::string& data : {std::string(), std::string("abc"), std::string(5000, 'z')}) {
    std::string body;
    BuildMultipartBody(Report(data), body);
    EXPECT_EQ(BuildUploadHeaders(body.size()), "Content-Type: multipart/form-data; boundary=" + kBoundary +
                                                   "\r\nContent-Length: " + std::to_string(body.size()) +
                                                   "\r\n");
  }
}

TEST(UploadUrl, BaseUrlAndProjectIdFillTheFormat) {
  EXPECT_EQ(BuildUploadUrl("https://localhost:1234", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"),
            "https://localhost:1234/api/v2/projects/0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0/reports");
}

TEST(UploadUrl, ProjectIdCannotChangeThePathQueryOrRequestLine) {
  EXPECT_EQ(BuildUploadUrl("https://h", "a/b?c#d e\r\n%"),
            "https://h/api/v2/projects/a%2Fb%3Fc%23d%20e%0D%0A%25/reports");
  EXPECT_EQ(BuildUploadUrl("https://h", ".."), "https://h/api/v2/projects/%2E%2E/reports");
  EXPECT_EQ(BuildUploadUrl("https://h", "v1.2_x~"), "https://h/api/v2/projects/v1.2_x~/reports");
  EXPECT_EQ(BuildUploadUrl("https://h", "\xc3\xa9"), "https://h/api/v2/projects/%C3%A9/reports");
}

TEST(AppendFormatted, AppendsTheTextWithoutItsTerminatingZero) {
  std::string out = "a";
  EXPECT_TRUE(AppendFormatted(out, "%s-%u", "b", 7u));
  EXPECT_EQ(out, std::string("ab-7"));
  EXPECT_TRUE(AppendFormatted(out, "%s", ""));
  EXPECT_EQ(out.size(), 4u);
}

TEST(AppendFormatted, ScratchGrowsInSteps) {
  const size_t before = FormatScratchSize();
  EXPECT_GE(before, kFormatScratchStep);
  EXPECT_EQ(before % kFormatScratchStep, 0u);

  // Exactly fills the buffer with its zero: no growth.
  std::string fits(before - 1, 'f');
  std::string out;
  EXPECT_TRUE(AppendFormatted(out, "%s", fits.c_str()));
  EXPECT_EQ(out, fits);
  EXPECT_EQ(FormatScratchSize(), before);

  // One byte more takes one more step.
  std::string one_more(before, 'g');
  out.clear();
  EXPECT_TRUE(AppendFormatted(out, "%s", one_more.c_str()));
  EXPECT_EQ(out, one_more);
  EXPECT_EQ(FormatScratchSize(), before + kFormatScratchStep);

  // Far more takes as many steps as needed at once, and the text is whole.
  std::string big(before + 5 * kFormatScratchStep + 10, 'h');
  out.clear();
  EXPECT_TRUE(AppendFormatted(out, "<%s>", big.c_str()));
  EXPECT_EQ(out, "<" + big + ">");
  EXPECT_EQ(FormatScratchSize(), before + 6 * kFormatScratchStep);
}

}  // namespace
}  // namespace nelko
