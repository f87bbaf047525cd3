// UpdateAnalyticsCrashFile against real files, and against a file system
// that fails on demand, natively and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/file_path.h"
#include "platform/file_system.h"
#include "report/analytics_file.h"
#include "tests/support/diag_capture.h"
#include "tests/support/faulty_file_system.h"

namespace nelko {
namespace {

namespace fs = std::filesystem;

const char kHash[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<std::string> FileNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().u8string());
  return names;
}

using test::FaultyFileSystem;

class AnalyticsFileUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = fs::temp_directory_path() / "nelko_analytics_test" / "faulty" / info->name();
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    file_ = folder_ / "analytics.json";
  }
  void TearDown() override { fs::remove_all(folder_); }

  void Update() { UpdateAnalyticsCrashFile(file_.u8string(), kHash); }

  fs::path folder_;
  fs::path file_;
};

const char kEngineFile[] =
    "{\r\n  \"msg\": {\"eventData\": {\"value\": 0, \"other\": 1}},\r\n  \"x\": [1, 2]\r\n}\r\n";
const char kRewritten[] =
    R"({"msg":{"eventData":{"value":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",)"
    R"("other":1}},"x":[1,2]})";

TEST_F(AnalyticsFileUpdate, RewritesTheValueAndLeavesNoTemporaryFile) {
  WriteBytes(file_, kEngineFile);
  Update();
  EXPECT_EQ(ReadBytes(file_), kRewritten);
  EXPECT_EQ(FileNames(folder_), std::vector<std::string>{"analytics.json"});
}

TEST_F(AnalyticsFileUpdate, BackslashPathsReachTheSameFile) {
  WriteBytes(file_, kEngineFile);
  std::string path = file_.u8string();
  // Where '\\' is a separator, the engine may send either.
  if (std::filesystem::path::preferred_separator == L'\\') {
    for (char& c : path) c = c == '/' ? '\\' : c;
  }
  UpdateAnalyticsCrashFile(path, kHash);
  EXPECT_EQ(ReadBytes(file_), kRewritten);
}

TEST_F(AnalyticsFileUpdate, LargerThanOneReadBufferIsReadWhole) {
  const std::string filler(200 * 1024, 'f');
  WriteBytes(file_, R"({"pad":")" + filler + R"(","msg":{"eventData":{"value":null}}})");
  Update();
  EXPECT_EQ(ReadBytes(file_),
            R"({"pad":")" + filler + R"(","msg":{"eventData":{"value":")" + kHash + "\"}}}");
}

TEST_F(AnalyticsFileUpdate, FilesWithoutTheMembersStayByteForByte) {
  for (const char* text :
       {"{\r\n \"msg\" : { \"eventData\" : { } } }\r\n", "[1, 2]", "{\"msg\":", "", "{}  "}) {
    WriteBytes(file_, text);
    Update();
    EXPECT_EQ(ReadBytes(file_), text);
    EXPECT_EQ(FileNames(folder_).size(), 1u);
  }
}

TEST_F(AnalyticsFileUpdate, MissingFileOrPathCreatesNothing) {
  Update();
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_TRUE(FileNames(folder_).empty());
  UpdateAnalyticsCrashFile("", kHash);
}

TEST_F(AnalyticsFileUpdate, EveryFailureLeavesTheOriginalAndNoTemporaryFile) {
  using Fault = FaultyFileSystem::Fault;
  for (Fault fault : {Fault::kOpenForWrite, Fault::kWrite, Fault::kClose, Fault::kReplace}) {
    WriteBytes(file_, kEngineFile);
    {
      FaultyFileSystem faulty(fault);
      Update();
    }
    EXPECT_EQ(ReadBytes(file_), kEngineFile) << static_cast<int>(fault);
    EXPECT_EQ(FileNames(folder_), std::vector<std::string>{"analytics.json"}) << static_cast<int>(fault);
  }
  // The same file system without faults does the rewrite.
  FaultyFileSystem healthy(Fault::kNone);
  Update();
  EXPECT_EQ(ReadBytes(file_), kRewritten);
}

TEST_F(AnalyticsFileUpdate, ReadFailurePartWayLeavesTheOriginal) {
  const std::string text =
      R"({"msg":{"eventData":{"value":1}},"pad":")" + std::string(100 * 1024, 'p') + "\"}";
  WriteBytes(file_, text);
  {
    FaultyFileSystem faulty(FaultyFileSystem::Fault::kRead);
    Update();
  }
  EXPECT_EQ(ReadBytes(file_), text);
}

TEST_F(AnalyticsFileUpdate, TemporaryFilesOfAKilledEarlierRunAreRemovedButOthersStay) {
  WriteBytes(file_, kEngineFile);
  WriteBytes(folder_ / "analytics.json.0a1b2c3d.tmp", "half");
  WriteBytes(folder_ / "analytics.json.notours.tmp", "someone else's");
  WriteBytes(folder_ / "other.json.0a1b2c3d.tmp", "another file's");
  Update();
  EXPECT_EQ(ReadBytes(file_), kRewritten);
  std::vector<std::string> names = FileNames(folder_);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"analytics.json", "analytics.json.notours.tmp",
                                             "other.json.0a1b2c3d.tmp"}));
}

TEST_F(AnalyticsFileUpdate, AFileTooLargeForAnEventIsLeftAloneWithALine) {
  std::string big = "{\"msg\":{\"eventData\":{\"value\":0}},\"pad\":\"";
  big.append(static_cast<size_t>(kMaxAnalyticsFileBytes), 'p');
  big += "\"}";
  WriteBytes(file_, big);
  test::DiagCapture output;
  Update();
  EXPECT_NE(output.Take().find("is larger than 16777216 bytes; left as it is"), std::string::npos);
  EXPECT_EQ(fs::file_size(file_), big.size());
}

TEST_F(AnalyticsFileUpdate, APathTooLongForItsTemporaryNameIsReportedAndLeft) {
  test::DiagCapture output;
  UpdateAnalyticsCrashFile(std::string(kMaxFilePathLength - 5, 'a'), kHash);
  EXPECT_NE(output.Take().find("Analytics crash file path is too long to update: "), std::string::npos);
}

}  // namespace
}  // namespace nelko
