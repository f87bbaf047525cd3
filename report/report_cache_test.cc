// The report cache's files through the file layer, natively under the
// sanitizers and under Wine: the writer's failures, names taken, the NUL in
// a project id, listing.
#include "report/report_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "report/crash_report.h"
#include "tests/support/faulty_file_system.h"

namespace nelko {
namespace {

namespace fs = std::filesystem;
using test::FaultyFileSystem;

const char kProject[] = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

class ReportCacheFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / "nelko_cache_files" / info->name();
    fs::remove_all(root_);
    folder_ = (root_ / "faulty" / "cache").u8string() + "/";
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Report(const char* name = "CrashReport1.json.gz") const { return folder_ + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    if (!fs::exists(folder_)) return names;
    for (const auto& entry : fs::directory_iterator(folder_))
      names.push_back(entry.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
  std::string folder_;
};

TEST_F(ReportCacheFiles, APairIsWrittenIntoANewFolderAndReadsBack) {
  ASSERT_EQ(WriteCachedReport(Report(), "gzip bytes", kProject), CacheStatus::kOk);
  EXPECT_EQ(Names(), (std::vector<std::string>{"CrashReport1.json.gz", "CrashReport1.json.meta"}));
  CachedReport report;
  ASSERT_EQ(ReadCachedReport(Report(), &report), CacheStatus::kOk);
  EXPECT_EQ(report.data, "gzip bytes");
  EXPECT_EQ(report.project_id, kProject);
}

TEST_F(ReportCacheFiles, AWriterFailingOnTheReportFileLeavesNothing) {
  FaultyFileSystem faulty(FaultyFileSystem::Fault::kWrite, ".json.gz");
  EXPECT_EQ(WriteCachedReport(Report(), "gzip bytes", kProject), CacheStatus::kFailedToWrite);
  EXPECT_TRUE(Names().empty());
}

TEST_F(ReportCacheFiles, AWriterFailingOnTheMetadataFileLeavesNoHalfPair) {
  FaultyFileSystem faulty(FaultyFileSystem::Fault::kWrite, ".json.meta");
  EXPECT_EQ(WriteCachedReport(Report(), "gzip bytes", kProject), CacheStatus::kFailedToWrite);
  EXPECT_TRUE(Names().empty());
}

TEST_F(ReportCacheFiles, AMetadataFileThatCannotBeCreatedLeavesNoHalfPair) {
  FaultyFileSystem faulty(FaultyFileSystem::Fault::kOpenForWrite, ".json.meta");
  EXPECT_EQ(WriteCachedReport(Report(), "gzip bytes", kProject), CacheStatus::kFailedToWrite);
  EXPECT_TRUE(Names().empty());
}

TEST_F(ReportCacheFiles, AReportThatCannotTakeItsNameLeavesNothing) {
  FaultyFileSystem faulty(FaultyFileSystem::Fault::kReplace, ".json.gz");
  EXPECT_EQ(WriteCachedReport(Report(), "gzip bytes", kProject), CacheStatus::kFailedToWrite);
  EXPECT_TRUE(Names().empty());
}

// What a writer that was stopped half-way left keeps its name: the next
// report of that millisecond takes the next one.
TEST_F(ReportCacheFiles, TheLeftOversOfAStoppedWriterTakeTheirName) {
  for (const char* left : {"CrashReport1.json.meta", "CrashReport1.json.gz.part"}) {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    std::ofstream(folder_ + left) << "left";
    bool taken = false;
    EXPECT_EQ(WriteCachedReport(Report(), "data", kProject, &taken), CacheStatus::kFailedToWrite) << left;
    EXPECT_TRUE(taken) << left;
    EXPECT_EQ(Names(), std::vector<std::string>{left});
  }
}

TEST_F(ReportCacheFiles, ATakenNameIsReportedAndTheFirstReportStays) {
  ASSERT_EQ(WriteCachedReport(Report(), "first", kProject), CacheStatus::kOk);
  bool taken = false;
  EXPECT_EQ(WriteCachedReport(Report(), "second", "other", &taken), CacheStatus::kFailedToWrite);
  EXPECT_TRUE(taken);
  CachedReport report;
  ASSERT_EQ(ReadCachedReport(Report(), &report), CacheStatus::kOk);
  EXPECT_EQ(report.data, "first");
}

TEST_F(ReportCacheFiles, AProjectIdWithANulIsKeptUpToIt) {
  ASSERT_EQ(WriteCachedReport(Report(), "data", std::string("ab\0cd", 5)), CacheStatus::kOk);
  CachedReport report;
  ASSERT_EQ(ReadCachedReport(Report(), &report), CacheStatus::kOk);
  EXPECT_EQ(report.project_id, "ab");
}

TEST_F(ReportCacheFiles, ReadingReportsWhatIsMissing) {
  CachedReport report;
  EXPECT_EQ(ReadCachedReport(Report(), &report), CacheStatus::kMissingReport);
  ASSERT_EQ(WriteCachedReport(Report(), "data", kProject), CacheStatus::kOk);
  fs::remove(MetaPathFor(Report()));
  EXPECT_EQ(ReadCachedReport(Report(), &report), CacheStatus::kMissingMetadata);
}

TEST_F(ReportCacheFiles, ListingTakesReportFilesOnly) {
  EXPECT_TRUE(ListCachedReportsIn(folder_).empty());
  ASSERT_EQ(WriteCachedReport(Report("a.json.gz"), "1", kProject), CacheStatus::kOk);
  ASSERT_EQ(WriteCachedReport(Report("b.json.gz"), "2", kProject), CacheStatus::kOk);
  fs::create_directories(folder_ + "folder.json.gz");
  std::vector<std::string> listed = ListCachedReportsIn(folder_);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{Report("a.json.gz"), Report("b.json.gz")}));
}

TEST_F(ReportCacheFiles, AWholeReportIsCachedUnderTheNextFreeNameOfItsMillisecond) {
  CrashReport report;
  report.appid = kProject;
  const CacheTimeStamp stamp{2026, 12, 8, 13, 45, 1, 7};
  std::string first, second;
  ASSERT_TRUE(CacheReportAt(report, folder_, stamp, &first));
  ASSERT_TRUE(CacheReportAt(report, folder_, stamp, &second));
  EXPECT_EQ(first, Report("CrashReport2026-12-08_134501007.json.gz"));
  EXPECT_EQ(second, Report("CrashReport2026-12-08_134501007_1.json.gz"));
  EXPECT_EQ(ListCachedReportsIn(folder_).size(), 2u);
}

}  // namespace
}  // namespace nelko
