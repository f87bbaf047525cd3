// The cache's file format: digest, the NCRM record and every status of its
// checks, names, and the status texts.
#include "report/cached_report.h"

#include <gtest/gtest.h>

#include <string>

#include "report/cache_status.h"
#include "report/md5.h"

namespace nelko {
namespace {

const char kProject[] = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";  // 36 bytes

std::string Record(const std::string& report, const std::string& project = kProject) {
  return BuildCacheMetadata(DigestOfReportBytes(report), project);
}

void PutU32(std::string& record, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) record[offset + i] = static_cast<char>(value >> (8 * i));
}

TEST(ReportDigest, PadsToAMultipleOfFourThenAddsTheSalt) {
  const std::string salt(reinterpret_cast<const char*>(kReportDigestSalt), sizeof(kReportDigestSalt));
  EXPECT_EQ(DigestOfReportBytes("abc"), Md5::Of(std::string("abc\0", 4) + salt));
  EXPECT_EQ(DigestOfReportBytes("abcd"), Md5::Of("abcd" + salt));
  EXPECT_EQ(DigestOfReportBytes("a"), Md5::Of(std::string("a\0\0\0", 4) + salt));
  EXPECT_EQ(DigestOfReportBytes(""), Md5::Of(salt));
  // The padding is part of the digest, so "abc" and "abc\0" agree: only the
  // stored bytes, not the digest, tell them apart.
  EXPECT_EQ(DigestOfReportBytes("abc"), DigestOfReportBytes(std::string("abc\0", 4)));
}

TEST(CacheMetadata, LayoutOfThe65ByteRecord) {
  const Md5::Digest digest = DigestOfReportBytes("report");
  const std::string record = BuildCacheMetadata(digest, "abc");
  ASSERT_EQ(record.size(), 65u);
  EXPECT_EQ(record.substr(0, 4), "NCRM");
  EXPECT_EQ(record.substr(4, 4), std::string("\x41\0\0\0", 4));
  EXPECT_EQ(record.substr(8, 4), std::string("\x02\x02\0\0", 4));
  EXPECT_EQ(record.substr(12, 16), std::string(reinterpret_cast<const char*>(digest.data()), 16));
  EXPECT_EQ(record.substr(28), std::string("abc") + std::string(34, '\0'));
}

TEST(CacheMetadata, ThirtySixByteIdFillsTheFieldWithItsNul) {
  const std::string record = Record("r");
  ASSERT_EQ(record.size(), 65u);
  EXPECT_EQ(record.substr(28, 36), kProject);
  EXPECT_EQ(record[64], '\0');
}

TEST(CacheMetadata, LongerIdIsKeptWholeInALongerRecord) {
  const std::string id(50, 'p');
  const std::string record = Record("r", id);
  ASSERT_EQ(record.size(), 28u + 50u + 1u);
  std::string read;
  EXPECT_EQ(CheckCacheMetadata(record, DigestOfReportBytes("r"), &read), CacheStatus::kOk);
  EXPECT_EQ(read, id);
}

TEST(CacheMetadata, IdWithANulIsRecordedUpToIt) {
  EXPECT_EQ(Record("r", std::string("ab\0cd", 5)), Record("r", "ab"));
}

TEST(CacheMetadata, ValidRecordReadsBack) {
  std::string id = "old";
  EXPECT_EQ(CheckCacheMetadata(Record("r"), DigestOfReportBytes("r"), &id), CacheStatus::kOk);
  EXPECT_EQ(id, kProject);
}

TEST(CacheMetadata, SizeAndMagicChecks) {
  const Md5::Digest digest = DigestOfReportBytes("r");
  std::string id = "untouched";
  const std::string good = Record("r");
  EXPECT_EQ(CheckCacheMetadata(good.substr(0, 64), digest, &id), CacheStatus::kMetadataCorrupt);
  EXPECT_EQ(CheckCacheMetadata("", digest, &id), CacheStatus::kMetadataCorrupt);

  std::string size66 = good;
  PutU32(size66, 4, 66);
  EXPECT_EQ(CheckCacheMetadata(size66, digest, &id), CacheStatus::kMetadataCorrupt);

  std::string magic = good;
  magic[3] = 'X';
  EXPECT_EQ(CheckCacheMetadata(magic, digest, &id), CacheStatus::kMetadataCorrupt);

  // A longer record whose size field matches is accepted.
  std::string longer = good + std::string(10, '\0');
  PutU32(longer, 4, 75);
  EXPECT_EQ(CheckCacheMetadata(longer, digest, &id), CacheStatus::kOk);
  EXPECT_EQ(id, kProject);
}

TEST(CacheMetadata, VersionCheckUsesTheLow16Bits) {
  const Md5::Digest digest = DigestOfReportBytes("r");
  std::string id = "untouched";
  std::string record = Record("r");
  PutU32(record, 8, 515);
  EXPECT_EQ(CheckCacheMetadata(record, digest, &id), CacheStatus::kUnknownVersion);
  PutU32(record, 8, 0x00010202);
  EXPECT_EQ(CheckCacheMetadata(record, digest, &id), CacheStatus::kOk);
  PutU32(record, 8, 0);
  EXPECT_EQ(CheckCacheMetadata(record, digest, &id), CacheStatus::kOk);
}

TEST(CacheMetadata, EmptyProjectIdBeforeTheDigest) {
  std::string id = "untouched";
  std::string record = Record("r", "");
  EXPECT_EQ(CheckCacheMetadata(record, DigestOfReportBytes("r"), &id), CacheStatus::kProjectIdEmpty);
  // Checked before the digest: an empty id on a changed report is still 10.
  EXPECT_EQ(CheckCacheMetadata(record, DigestOfReportBytes("changed"), &id), CacheStatus::kProjectIdEmpty);
  EXPECT_EQ(id, "untouched");
}

TEST(CacheMetadata, DigestMismatchIsACorruptReport) {
  std::string id = "untouched";
  EXPECT_EQ(CheckCacheMetadata(Record("report"), DigestOfReportBytes("rEport"), &id),
            CacheStatus::kCorruptReport);
  EXPECT_EQ(id, "untouched");
}

TEST(CacheMetadata, ProjectIdRunsToTheEndWithoutANul) {
  std::string record = Record("r");
  for (size_t i = 28; i < record.size(); ++i) record[i] = 'z';
  std::string id;
  EXPECT_EQ(CheckCacheMetadata(record, DigestOfReportBytes("r"), &id), CacheStatus::kOk);
  EXPECT_EQ(id, std::string(37, 'z'));
}

TEST(CacheMetadata, ChangedProjectIdIsNotDetected) {
  std::string record = Record("r");
  record[28] = 'X';
  std::string id;
  EXPECT_EQ(CheckCacheMetadata(record, DigestOfReportBytes("r"), &id), CacheStatus::kOk);
  EXPECT_EQ(id[0], 'X');
}

TEST(MetaPathFor, ReplacesTheLastExtension) {
  EXPECT_EQ(MetaPathFor(L"C:\\c\\CrashReport2026-03-05_142301042.json.gz"),
            L"C:\\c\\CrashReport2026-03-05_142301042.json.meta");
  EXPECT_EQ(MetaPathFor(L"C:\\c\\x_1.json.gz"), L"C:\\c\\x_1.json.meta");
  EXPECT_EQ(MetaPathFor(L"noext"), L"noext.meta");
  EXPECT_EQ(MetaPathFor(L""), L".meta");
}

TEST(ReportFileName, StampAndDistinctNamesForTheSameMillisecond) {
  const CacheTimeStamp stamp{2026, 3, 5, 14, 23, 1, 42};
  EXPECT_EQ(ReportFileName(stamp, 0), L"CrashReport2026-03-05_142301042.json.gz");
  EXPECT_EQ(ReportFileName(stamp, 1), L"CrashReport2026-03-05_142301042_1.json.gz");
  EXPECT_EQ(ReportFileName(stamp, 12), L"CrashReport2026-03-05_142301042_12.json.gz");
  EXPECT_EQ(MetaPathFor(ReportFileName(stamp, 1)), L"CrashReport2026-03-05_142301042_1.json.meta");
  EXPECT_NE(MetaPathFor(ReportFileName(stamp, 1)), MetaPathFor(ReportFileName(stamp, 0)));
}

TEST(CacheStatus, Texts) {
  EXPECT_STREQ(CacheStatusText(CacheStatus::kOk), "OK");
  EXPECT_STREQ(CacheStatusText(CacheStatus::kMissingMetadata), "Missing metadata");
  EXPECT_STREQ(CacheStatusText(CacheStatus::kMissingReport), "Missing report");
  EXPECT_STREQ(CacheStatusText(CacheStatus::kMetadataCorrupt), "Metadata corrupt or wrong version");
  EXPECT_STREQ(CacheStatusText(CacheStatus::kCorruptReport), "Corrupt report");
  EXPECT_STREQ(CacheStatusText(CacheStatus::kUnknownVersion), "Unknown version");
  EXPECT_STREQ(CacheStatusText(CacheStatus::kFailedToWrite), "Failed to write");
  EXPECT_STREQ(CacheStatusText(static_cast<CacheStatus>(7)), "Unknown error");
  EXPECT_STREQ(CacheStatusText(CacheStatus::kFailedToUpload), "Failed to upload");
  EXPECT_STREQ(CacheStatusText(static_cast<CacheStatus>(9)), "Unknown error");
  EXPECT_STREQ(CacheStatusText(CacheStatus::kProjectIdEmpty), "ProjectID is empty");
  EXPECT_STREQ(CacheStatusText(static_cast<CacheStatus>(11)), "Unknown error");
  EXPECT_STREQ(CacheStatusText(static_cast<CacheStatus>(-1)), "Unknown error");
}

}  // namespace
}  // namespace nelko
