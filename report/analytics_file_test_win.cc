// UpdateAnalyticsCrashFile against files other programs hold open.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "report/analytics_file.h"

namespace nelko {
namespace {

const char kHash[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char kEngineFile[] = "{ \"msg\": { \"eventData\": { \"value\": 0 } } }\r\n";

class AnalyticsFileWin : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"nelko_analytics_win_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder_.c_str(), nullptr);
    file_ = folder_ + L"\\analytics.json";
    Write(kEngineFile);
  }
  void TearDown() override {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder_ + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
          const std::wstring path = folder_ + L"\\" + data.cFileName;
          SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(path.c_str());
        }
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(folder_.c_str());
  }

  void Write(const std::string& bytes) {
    ScopedHandle file(
        CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  std::string Read() {
    ScopedHandle file(CreateFileW(file_.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    std::string bytes(4096, '\0');
    DWORD read = 0;
    if (!file.valid() ||
        !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
      return "";
    bytes.resize(read);
    return bytes;
  }
  int FileCount() {
    int count = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder_ + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return count;
  }
  void Update() { UpdateAnalyticsCrashFile(WideToUtf8(file_), kHash); }

  std::wstring folder_;
  std::wstring file_;
};

TEST_F(AnalyticsFileWin, RewritesAWindowsPath) {
  Update();
  EXPECT_EQ(Read(), std::string(R"({"msg":{"eventData":{"value":")") + kHash + "\"}}}");
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(AnalyticsFileWin, FileHeldWithoutSharingStaysAsItWas) {
  {
    ScopedHandle held(CreateFileW(file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    Update();
  }
  EXPECT_EQ(Read(), kEngineFile);
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(AnalyticsFileWin, FileThatCannotBeReplacedStaysAndTheTemporaryGoes) {
  {
    // Readable and writable by others, but not to be deleted or renamed over.
    ScopedHandle held(CreateFileW(file_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    Update();
  }
  EXPECT_EQ(Read(), kEngineFile);
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(AnalyticsFileWin, ReadOnlyFileStaysAsItWas) {
  ASSERT_TRUE(SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_READONLY));
  Update();
  EXPECT_EQ(Read(), kEngineFile);
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(AnalyticsFileWin, AHiddenFileStaysHiddenAfterTheRewrite) {
  ASSERT_TRUE(SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_HIDDEN));
  Update();
  EXPECT_NE(Read().find("0123456789abcdef"), std::string::npos);
  const DWORD attributes = GetFileAttributesW(file_.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(FileCount(), 1);
}

}  // namespace
}  // namespace nelko
