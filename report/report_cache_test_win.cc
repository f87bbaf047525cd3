// The report cache on disk: the writer, every status of the reader, the
// listing, and caching a whole report.
#include "report/report_cache_win.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "report/crash_report.h"
#include "report/md5.h"
#include "tests/support/gunzip.h"

namespace nelko {
namespace {

const char kProject[] = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

class ReportCache : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info->name();
    folder_ = std::wstring(temp) + L"nelko_store_cache_" + std::wstring(name.begin(), name.end()) + L"\\";
    RemoveFolder();
  }
  void TearDown() override { RemoveFolder(); }

  void RemoveFolder() {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder_ + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring path = folder_ + found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveDirectoryW(path.c_str());
        } else {
          DeleteFileW(path.c_str());
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(folder_.c_str());
  }

  static std::string Read(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return bytes;
  }

  static void Write(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    if (!bytes.empty()) WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }

  static bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::wstring ReportPath(const wchar_t* name = L"CrashReport2026-03-05_142301042.json.gz") {
    return folder_ + name;
  }

  // Writes a report pair and returns its report path.
  std::wstring Cached(const std::string& data = "gzip bytes", const std::string& project = kProject) {
    const std::wstring path = ReportPath();
    EXPECT_EQ(WriteCachedReport(path, data, project), CacheStatus::kOk);
    return path;
  }

  CacheStatus ReadStatus(const std::wstring& path) {
    CachedReport report{"before", "before"};
    const CacheStatus status = ReadCachedReport(path, &report);
    if (status != CacheStatus::kOk) {
      EXPECT_EQ(report.data, "before");
      EXPECT_EQ(report.project_id, "before");
    }
    return status;
  }

  std::wstring folder_;
};

TEST_F(ReportCache, WriteThenReadGivesTheBytesAndProject) {
  const std::wstring path = Cached("\x1f\x8b payload");
  EXPECT_EQ(Read(path), "\x1f\x8b payload");
  EXPECT_EQ(Read(MetaPathFor(path)).size(), 65u);
  CachedReport report;
  EXPECT_EQ(ReadCachedReport(path, &report), CacheStatus::kOk);
  EXPECT_EQ(report.data, "\x1f\x8b payload");
  EXPECT_EQ(report.project_id, kProject);
}

TEST_F(ReportCache, NothingToWriteIsMissingReport) {
  EXPECT_EQ(WriteCachedReport(ReportPath(), "", kProject), CacheStatus::kMissingReport);
  EXPECT_FALSE(Exists(ReportPath()));
}

TEST_F(ReportCache, EmptyProjectIsWrittenAndReadsAsProjectIdEmpty) {
  const std::wstring path = Cached("data", "");
  EXPECT_EQ(ReadStatus(path), CacheStatus::kProjectIdEmpty);
}

TEST_F(ReportCache, ChangedReportByteIsCorrupt) {
  const std::wstring path = Cached("data bytes");
  Write(path, "data bytez");
  EXPECT_EQ(ReadStatus(path), CacheStatus::kCorruptReport);
}

TEST_F(ReportCache, ChangedProjectIdGoesUnnoticedEmptiedIsReported) {
  const std::wstring path = Cached();
  std::string meta = Read(MetaPathFor(path));
  meta[28] = 'X';
  Write(MetaPathFor(path), meta);
  CachedReport report;
  EXPECT_EQ(ReadCachedReport(path, &report), CacheStatus::kOk);
  EXPECT_EQ(report.project_id[0], 'X');
  meta[28] = '\0';
  Write(MetaPathFor(path), meta);
  EXPECT_EQ(ReadStatus(path), CacheStatus::kProjectIdEmpty);
}

TEST_F(ReportCache, MetadataSizeMagicAndVersion) {
  const std::wstring path = Cached();
  const std::string good = Read(MetaPathFor(path));
  Write(MetaPathFor(path), good.substr(0, 64));
  EXPECT_EQ(ReadStatus(path), CacheStatus::kMetadataCorrupt);
  std::string bad = good;
  bad[4] = 66;
  Write(MetaPathFor(path), bad);
  EXPECT_EQ(ReadStatus(path), CacheStatus::kMetadataCorrupt);
  bad = good;
  bad[8] = 3;  // 515
  Write(MetaPathFor(path), bad);
  EXPECT_EQ(ReadStatus(path), CacheStatus::kUnknownVersion);
  bad = good;
  bad[10] = 1;  // 0x00010202
  Write(MetaPathFor(path), bad);
  EXPECT_EQ(ReadStatus(path), CacheStatus::kOk);
}

TEST_F(ReportCache, MetadataBeyond2GiBIsCorruptWithoutBeingLoaded) {
  const std::wstring path = Cached();
  HANDLE meta = CreateFileW(MetaPathFor(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(meta, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end;
  end.QuadPart = 2147483648LL;  // sparse: nothing is written
  ASSERT_TRUE(SetFilePointerEx(meta, end, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(meta));
  CloseHandle(meta);
  EXPECT_EQ(ReadStatus(path), CacheStatus::kMetadataCorrupt);
}

TEST_F(ReportCache, MissingFilesOfThePair) {
  const std::wstring path = Cached();
  DeleteFileW(MetaPathFor(path).c_str());
  EXPECT_EQ(ReadStatus(path), CacheStatus::kMissingMetadata);
  DeleteFileW(path.c_str());
  EXPECT_EQ(ReadStatus(path), CacheStatus::kMissingReport);
  Cached();
  DeleteFileW(path.c_str());
  EXPECT_TRUE(Exists(MetaPathFor(path)));
  EXPECT_EQ(ReadStatus(path), CacheStatus::kMissingReport);
}

TEST_F(ReportCache, ReportHeldOpenByAnotherCannotBeRead) {
  const std::wstring path = Cached();
  HANDLE holder =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadStatus(path), CacheStatus::kMissingReport);
  CloseHandle(holder);
}

// Upload mode holds a report from reading until deletion, so an upload run
// beside it cannot read (and send) the same report.
TEST_F(ReportCache, HeldReportCannotBeReadByAnotherUntilReleased) {
  const std::wstring path = Cached("held bytes");
  HeldCachedReport held;
  CachedReport report;
  ASSERT_EQ(held.Read(path, &report), CacheStatus::kOk);
  EXPECT_EQ(report.data, "held bytes");
  EXPECT_EQ(report.project_id, kProject);
  EXPECT_EQ(ReadStatus(path), CacheStatus::kMissingReport);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(DeleteFileW(MetaPathFor(path).c_str()));

  held.Release();
  EXPECT_TRUE(Exists(path));
  EXPECT_TRUE(Exists(MetaPathFor(path)));
  EXPECT_EQ(ReadStatus(path), CacheStatus::kOk);
}

TEST_F(ReportCache, HeldReportDeletesBothFiles) {
  const std::wstring path = Cached();
  HeldCachedReport held;
  CachedReport report;
  ASSERT_EQ(held.Read(path, &report), CacheStatus::kOk);
  EXPECT_TRUE(held.Delete());
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(Exists(MetaPathFor(path)));
  // Nothing is held any more.
  EXPECT_FALSE(held.Delete());
}

TEST_F(ReportCache, HeldReadGivesTheSameStatusesAsAPlainRead) {
  const std::wstring path = Cached("data", "");
  HeldCachedReport held;
  CachedReport report{"before", "before"};
  EXPECT_EQ(held.Read(path, &report), CacheStatus::kProjectIdEmpty);
  EXPECT_EQ(report.data, "before");
  held.Release();
  ASSERT_TRUE(DeleteFileW(MetaPathFor(path).c_str()));
  EXPECT_EQ(held.Read(path, &report), CacheStatus::kMissingMetadata);
  held.Release();
  EXPECT_EQ(held.Read(ReportPath(L"absent.json.gz"), &report), CacheStatus::kMissingReport);
}

// Two engines that end together: the first one's upload run lists the cache
// and holds what it finds while the second one's handler is between the two
// files of its report.
struct UploadRunBetweenWrites {
  std::wstring folder;
  HeldCachedReport held;
  std::vector<CacheStatus> seen;
};
UploadRunBetweenWrites* g_upload_run = nullptr;

void ListAndHoldLikeAnUploadRun(const std::string&) {
  for (const std::wstring& path : ListCachedReportsIn(g_upload_run->folder)) {
    CachedReport report;
    g_upload_run->seen.push_back(g_upload_run->held.Read(path, &report));
  }
}

TEST_F(ReportCache, AnUploadRunBetweenTheWritersTwoFilesSeesNoHalfPairAndBreaksNothing) {
  UploadRunBetweenWrites run;
  run.folder = folder_;
  g_upload_run = &run;
  SetCacheWriteSeamForTest(&ListAndHoldLikeAnUploadRun);
  const CacheStatus written = WriteCachedReport(ReportPath(), "report bytes", kProject);
  SetCacheWriteSeamForTest(nullptr);
  g_upload_run = nullptr;

  EXPECT_EQ(written, CacheStatus::kOk);
  // Whatever the run found there was a whole pair.
  for (const CacheStatus status : run.seen) EXPECT_EQ(status, CacheStatus::kOk);
  run.held.Release();
  CachedReport report;
  EXPECT_EQ(ReadCachedReport(ReportPath(), &report), CacheStatus::kOk);
  EXPECT_EQ(report.data, "report bytes");
}

TEST_F(ReportCache, DigestOfAThreeByteReport) {
  const std::wstring path = Cached("abc");
  Md5::Digest digest;
  std::string bytes;
  ASSERT_TRUE(ComputeReportDigest(path, &digest, &bytes));
  EXPECT_EQ(bytes, "abc");
  const std::string salt(reinterpret_cast<const char*>(kReportDigestSalt), 32);
  const Md5::Digest expected = Md5::Of(std::string("abc\0", 4) + salt);
  EXPECT_EQ(digest, expected);
  EXPECT_EQ(Read(MetaPathFor(path)).substr(12, 16),
            std::string(reinterpret_cast<const char*>(expected.data()), 16));
  EXPECT_FALSE(ComputeReportDigest(folder_ + L"absent.json.gz", &digest));
}

TEST_F(ReportCache, ExistingReportIsNeverReplaced) {
  const std::wstring path = Cached("first");
  bool taken = false;
  EXPECT_EQ(WriteCachedReport(path, "second", "other", &taken), CacheStatus::kFailedToWrite);
  EXPECT_TRUE(taken);
  CachedReport report;
  EXPECT_EQ(ReadCachedReport(path, &report), CacheStatus::kOk);
  EXPECT_EQ(report.data, "first");
  EXPECT_EQ(report.project_id, kProject);
}

TEST_F(ReportCache, LongProjectIdIsKeptWhole) {
  const std::string id(80, 'q');
  const std::wstring path = Cached("data", id);
  CachedReport report;
  EXPECT_EQ(ReadCachedReport(path, &report), CacheStatus::kOk);
  EXPECT_EQ(report.project_id, id);
}

TEST_F(ReportCache, ProjectIdWithNulIsCachedUnderTheIdUpToIt) {
  EXPECT_EQ(WriteCachedReport(ReportPath(), "data", std::string("ab\0c", 4)), CacheStatus::kOk);
  CachedReport report;
  EXPECT_EQ(ReadCachedReport(ReportPath(), &report), CacheStatus::kOk);
  EXPECT_EQ(report.project_id, "ab");
}

TEST_F(ReportCache, UnwritableFolderFailsToWrite) {
  Write(folder_.substr(0, folder_.size() - 1), "a file where the folder should be");
  EXPECT_EQ(WriteCachedReport(ReportPath(), "data", kProject), CacheStatus::kFailedToWrite);
  DeleteFileW(folder_.substr(0, folder_.size() - 1).c_str());
}

TEST_F(ReportCache, ListingFindsOnlyReportFiles) {
  EXPECT_TRUE(ListCachedReportsIn(folder_).empty());  // folder does not exist
  CreateDirectoryW(folder_.c_str(), nullptr);
  EXPECT_TRUE(ListCachedReportsIn(folder_).empty());
  CreateDirectoryW((folder_ + L"x.json.gz").c_str(), nullptr);
  Write(folder_ + L"a.json.meta", "m");
  Write(folder_ + L"notes.txt", "n");
  Write(folder_ + L"CrashReportA.json.gz", "1");
  Write(folder_ + L"CrashReportB.json.gz", "2");
  std::vector<std::wstring> listed = ListCachedReportsIn(folder_);
  std::sort(listed.begin(), listed.end());
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0], folder_ + L"CrashReportA.json.gz");
  EXPECT_EQ(listed[1], folder_ + L"CrashReportB.json.gz");
}

TEST(ReportCacheFolder, UnderLocalLow) {
  const std::wstring base = GetCacheBaseFolder();
  ASSERT_GT(base.size(), 16u);
  EXPECT_EQ(base.substr(base.size() - 16), L"AppData\\LocalLow");
  EXPECT_EQ(GetCacheFolder(), base + L"\\Nelko\\CrashReports\\");
  EXPECT_EQ(GetCacheBaseFolder(), base);
}

TEST_F(ReportCache, CachedReportIsTheGzipOfItsJson) {
  CrashReport report;
  report.appid = kProject;
  report.name = "Game";
  std::wstring path;
  ASSERT_TRUE(CacheReportAt(report, folder_, CacheTimeStamp{2026, 3, 5, 14, 23, 1, 42}, &path));
  EXPECT_EQ(path, folder_ + L"CrashReport2026-03-05_142301042.json.gz");
  CachedReport cached;
  ASSERT_EQ(ReadCachedReport(path, &cached), CacheStatus::kOk);
  EXPECT_EQ(cached.project_id, kProject);
  EXPECT_EQ(cached.data.substr(0, 10), std::string("\x1f\x8b\x08\0\0\0\0\0\0\x0a", 10));
  EXPECT_EQ(test::Gunzip(cached.data), report.ToJson());
}

TEST_F(ReportCache, TwoReportsOfTheSameMillisecondBothStay) {
  CrashReport first;
  first.appid = kProject;
  first.name = "first";
  CrashReport second = first;
  second.name = "second";
  const CacheTimeStamp stamp{2026, 3, 5, 14, 23, 1, 42};
  std::wstring first_path, second_path;
  ASSERT_TRUE(CacheReportAt(first, folder_, stamp, &first_path));
  ASSERT_TRUE(CacheReportAt(second, folder_, stamp, &second_path));
  EXPECT_EQ(second_path, folder_ + L"CrashReport2026-03-05_142301042_1.json.gz");
  EXPECT_EQ(ListCachedReportsIn(folder_).size(), 2u);
  CachedReport a, b;
  ASSERT_EQ(ReadCachedReport(first_path, &a), CacheStatus::kOk);
  ASSERT_EQ(ReadCachedReport(second_path, &b), CacheStatus::kOk);
  EXPECT_EQ(test::Gunzip(a.data), first.ToJson());
  EXPECT_EQ(test::Gunzip(b.data), second.ToJson());
}

HRESULT WINAPI KnownFolderGives(REFGUID, DWORD, HANDLE, PWSTR* path) {
  static const wchar_t kLocalLow[] = L"C:\\users\\p\\AppData\\LocalLow";
  *path = static_cast<PWSTR>(CoTaskMemAlloc(sizeof(kLocalLow)));
  std::copy(std::begin(kLocalLow), std::end(kLocalLow), *path);
  return S_OK;
}
HRESULT WINAPI KnownFolderFails(REFGUID, DWORD, HANDLE, PWSTR* path) {
  *path = nullptr;
  return E_FAIL;
}
HRESULT WINAPI RoamingGives(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
  if (csidl != 26) return E_INVALIDARG;  // CSIDL_APPDATA, the roaming folder
  std::wcscpy(path, L"C:\\users\\p\\AppData\\Roaming");
  return S_OK;
}
HRESULT WINAPI RoamingFails(HWND, int, HANDLE, DWORD, LPWSTR) { return E_FAIL; }

TEST(CacheFolder, LocalLowFirstThenRoamingOnOlderSystemsThenTheTemporaryFolder) {
  CacheFolderSources sources;
  sources.temp_folder = L"C:\\Temp\\";
  sources.known_folder = &KnownFolderGives;
  sources.folder_path = &RoamingGives;
  EXPECT_EQ(ChooseCacheBaseFolder(sources), L"C:\\users\\p\\AppData\\LocalLow");
  // A system without the known-folder function is too old to name LocalLow.
  sources.known_folder = nullptr;
  EXPECT_EQ(ChooseCacheBaseFolder(sources), L"C:\\users\\p\\AppData\\Roaming");
  sources.folder_path = &RoamingFails;
  EXPECT_EQ(ChooseCacheBaseFolder(sources), L"C:\\Temp\\");
  sources.folder_path = nullptr;
  EXPECT_EQ(ChooseCacheBaseFolder(sources), L"C:\\Temp\\");
  // The known-folder function failing does not fall back to roaming.
  sources.known_folder = &KnownFolderFails;
  sources.folder_path = &RoamingGives;
  EXPECT_EQ(ChooseCacheBaseFolder(sources), L"C:\\Temp\\");
}

TEST(CacheFolder, OneBackslashBetweenTheBaseAndTheCacheFolders) {
  EXPECT_EQ(CacheFolderUnder(L"C:\\Temp\\"), L"C:\\Temp\\Nelko\\CrashReports\\");
  EXPECT_EQ(CacheFolderUnder(L"C:\\LocalLow"), L"C:\\LocalLow\\Nelko\\CrashReports\\");
}

}  // namespace
}  // namespace nelko
