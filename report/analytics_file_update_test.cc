// UpdateAnalyticsCrashFile against real files, and against a file system
// that fails on demand, natively and under Wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "report/analytics_file.h"

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

// Delegates to the local file system and fails the chosen operation; it
// serves every path under a folder named "faulty".
class FaultyFileSystem : public FileSystem {
 public:
  enum class Fault { kNone, kOpenForWrite, kWrite, kClose, kReplace, kRead };
  explicit FaultyFileSystem(Fault fault)
      : fault_(fault), real_(FileSystemRegistry::Get().DefaultFileSystem()) {
    FileSystemRegistry::Get().Register(this);
  }
  ~FaultyFileSystem() override { FileSystemRegistry::Get().Unregister(this); }

  bool Open(FileEntry& entry, FileMode mode) override {
    if (fault_ == Fault::kOpenForWrite && mode != FileMode::kRead) return Fail(entry);
    const bool ok = real_.Open(entry, mode);
    Attach(entry);  // keep serving the entry after the real open took it over
    return ok;
  }
  bool ReadAt(FileEntry& entry, uint64_t offset, uint64_t count, void* buffer, uint64_t* done) override {
    if (fault_ == Fault::kRead && offset > 0) return Fail(entry);
    return real_.ReadAt(entry, offset, count, buffer, done);
  }
  bool WriteAt(FileEntry& entry, uint64_t offset, uint64_t count, const void* buffer,
               uint64_t* done) override {
    // Half the text reaches the disk, as when the disk fills up.
    if (fault_ == Fault::kWrite) {
      real_.WriteAt(entry, offset, count / 2, buffer, done);
      return Fail(entry);
    }
    return real_.WriteAt(entry, offset, count, buffer, done);
  }
  bool Close(FileEntry& entry) override {
    const bool ok = real_.Close(entry);
    if (fault_ == Fault::kClose && ok) return Fail(entry);
    return ok;
  }
  bool CanHandle(std::string_view path) const override {
    return path.find("faulty") != std::string_view::npos;
  }
  std::string MakeAbsolute(std::string_view path) const override { return real_.MakeAbsolute(path); }
  bool IsAbsolute(std::string_view path) const override { return real_.IsAbsolute(path); }
  std::string ExecutablePath() override { return real_.ExecutablePath(); }
  bool Replace(FileEntry& source, FileEntry& target) override {
    if (fault_ == Fault::kReplace) return Fail(target);
    return real_.Replace(source, target);
  }
  bool Delete(FileEntry& entry) override { return real_.Delete(entry); }

 private:
  static bool Fail(FileEntry& entry) {
    entry.error = FileError::kUnknown;
    return false;
  }
  Fault fault_;
  FileSystem& real_;
};

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

}  // namespace
}  // namespace nelko
