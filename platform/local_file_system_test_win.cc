// The Windows file system of the file layer: system paths, open modes and
// their errors, reads at the end, long paths, the executable's path.
#include "platform/local_file_system_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "platform/file_entry.h"
#include "platform/file_path.h"
#include "platform/file_system.h"

namespace nelko {
namespace {

LocalFileSystem& Local() {
  return static_cast<LocalFileSystem&>(FileSystemRegistry::Get().DefaultFileSystem());
}

// A fresh folder under the temporary folder, in the layer's form.
std::string TempFolder(const char* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + L"nelko_store_fs_" + Utf8ToWide(name);
  CreateDirectoryW(folder.c_str(), nullptr);
  return ToLayerPath(WideToUtf8(folder));
}

void WriteFileBytes(const std::string& layer_path, const std::string& bytes) {
  FileEntry entry(layer_path);
  ASSERT_TRUE(entry.accessor->Open(entry, FileMode::kWrite));
  uint64_t done = 0;
  if (!bytes.empty()) {
    ASSERT_TRUE(entry.accessor->WriteAt(entry, 0, bytes.size(), bytes.data(), &done));
  }
  ASSERT_TRUE(entry.accessor->Close(entry));
}

TEST(LocalFileSystem, PathsGoToTheSystemWithBackslashes) {
  FileEntry entry("C:\\Users\\me\\AppData\\x.json");
  EXPECT_STREQ(entry.path, "C:/Users/me/AppData/x.json");
  EXPECT_EQ(Local().SystemPath(entry.path), L"C:\\Users\\me\\AppData\\x.json");
  FileEntry unc("\\\\server\\share\\dir\\f.txt");
  EXPECT_STREQ(unc.path, "\\\\server\\share/dir/f.txt");
  EXPECT_EQ(Local().SystemPath(unc.path), L"\\\\server\\share\\dir\\f.txt");
  EXPECT_EQ(Local().SystemPath(""), L"");
}

TEST(LocalFileSystem, LongPathPrefixFrom248Bytes) {
  const std::string at247 = "C:/" + std::string(244, 'd');
  EXPECT_EQ(Local().SystemPath(at247).substr(0, 4), L"C:\\d");
  const std::wstring at248 = Local().SystemPath(at247 + "e");
  EXPECT_EQ(at248.substr(0, 4), L"\\\\?\\");
  EXPECT_EQ(at248.substr(4, 3), L"C:\\");
}

TEST(LocalFileSystem, FilesBeyondTheShortPathLimitWork) {
  std::string folder = TempFolder("long");
  while (folder.size() < 300) {
    folder += "/" + std::string(60, 'L');
    CreateDirectoryW(Local().SystemPath(folder).c_str(), nullptr);
  }
  const std::string path = folder + "/file.txt";
  WriteFileBytes(path, "long way");
  FileEntry entry(path);
  ASSERT_TRUE(entry.accessor->Open(entry, FileMode::kRead));
  char buffer[16];
  uint64_t done = 0;
  EXPECT_TRUE(entry.accessor->ReadAt(entry, 0, sizeof(buffer), buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "long way");
  EXPECT_TRUE(entry.accessor->Close(entry));
  EXPECT_TRUE(entry.accessor->Delete(entry));
}

TEST(LocalFileSystem, MissingFileIsNotFound) {
  FileEntry entry(TempFolder("missing") + "/nothing.json");
  EXPECT_FALSE(entry.accessor->Open(entry, FileMode::kRead));
  EXPECT_EQ(entry.error, FileError::kNotFound);
  EXPECT_EQ(Local().LastSystemError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(entry.handle, kInvalidFileHandle);
  char c;
  uint64_t done = 0;
  EXPECT_FALSE(entry.accessor->ReadAt(entry, 0, 1, &c, &done));
}

TEST(LocalFileSystem, FileHeldWithoutSharingIsAccessDenied) {
  const std::string path = TempFolder("shared") + "/held.json";
  WriteFileBytes(path, "x");
  ScopedHandle holder(CreateFileW(Local().SystemPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder.valid());
  FileEntry entry(path);
  EXPECT_FALSE(entry.accessor->Open(entry, FileMode::kRead));
  EXPECT_EQ(entry.error, FileError::kAccessDenied);
  EXPECT_EQ(Local().LastSystemError(), static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
}

TEST(LocalFileSystem, ReadAtTheEndAndReadOfNothingFail) {
  const std::string path = TempFolder("read") + "/five.txt";
  WriteFileBytes(path, "12345");
  FileEntry entry(path);
  ASSERT_TRUE(entry.accessor->Open(entry, FileMode::kRead));
  EXPECT_TRUE(entry.accessor->Open(entry, FileMode::kRead));  // already open: left as it is
  char buffer[8];
  uint64_t done = 0;
  EXPECT_TRUE(entry.accessor->ReadAt(entry, 3, 8, buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "45");
  EXPECT_FALSE(entry.accessor->ReadAt(entry, 5, 8, buffer, &done));
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(entry.accessor->ReadAt(entry, 0, 0, buffer, &done));
  EXPECT_TRUE(entry.accessor->Close(entry));
  EXPECT_TRUE(entry.accessor->Close(entry));
}

TEST(LocalFileSystem, ModesCreateTruncateAndAppend) {
  const std::string path = TempFolder("modes") + "/m.txt";
  WriteFileBytes(path, "abcdef");
  WriteFileBytes(path, "xy");  // write mode truncates
  FileEntry append(path);
  ASSERT_TRUE(append.accessor->Open(append, FileMode::kAppend));
  uint64_t done = 0;
  EXPECT_TRUE(append.accessor->WriteAt(append, 2, 1, "z", &done));
  EXPECT_TRUE(append.accessor->Close(append));

  FileEntry both(path);
  ASSERT_TRUE(both.accessor->Open(both, FileMode::kReadWrite));
  char buffer[8];
  EXPECT_TRUE(both.accessor->ReadAt(both, 0, 8, buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "xyz");
  EXPECT_TRUE(both.accessor->Close(both));
}

TEST(LocalFileSystem, ReplaceIsOneStep) {
  const std::string folder = TempFolder("replace");
  WriteFileBytes(folder + "/target.json", "old");
  WriteFileBytes(folder + "/target.json.tmp", "new");
  FileEntry source(folder + "/target.json.tmp");
  FileEntry target(folder + "/target.json");
  EXPECT_TRUE(target.accessor->Replace(source, target));
  ASSERT_TRUE(target.accessor->Open(target, FileMode::kRead));
  char buffer[8];
  uint64_t done = 0;
  EXPECT_TRUE(target.accessor->ReadAt(target, 0, 8, buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "new");
  EXPECT_TRUE(target.accessor->Close(target));
  EXPECT_FALSE(source.accessor->Open(source, FileMode::kRead));
}

TEST(LocalFileSystem, ReadOnlyTargetIsNotReplaced) {
  const std::string folder = TempFolder("replace_readonly");
  WriteFileBytes(folder + "/target.json", "old");
  WriteFileBytes(folder + "/target.json.tmp", "new");
  FileEntry source(folder + "/target.json.tmp");
  FileEntry target(folder + "/target.json");
  const std::wstring target_path = Local().SystemPath(target.path);
  ASSERT_TRUE(SetFileAttributesW(target_path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(target.accessor->Replace(source, target));
  EXPECT_EQ(target.error, FileError::kAccessDenied);
  SetFileAttributesW(target_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(target.accessor->Open(target, FileMode::kRead));
  char buffer[8];
  uint64_t done = 0;
  EXPECT_TRUE(target.accessor->ReadAt(target, 0, 8, buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "old");
  EXPECT_TRUE(target.accessor->Close(target));
  EXPECT_TRUE(source.accessor->Delete(source));
}

TEST(LocalFileSystem, ErrorSlotIsPerThread) {
  FileEntry missing(TempFolder("slot") + "/none");
  EXPECT_FALSE(missing.accessor->Open(missing, FileMode::kRead));
  uint32_t other_thread = 12345;
  std::thread([&] {
    const std::string path = TempFolder("slot") + "/ok.txt";
    WriteFileBytes(path, "x");
    other_thread = Local().LastSystemError();
  }).join();
  EXPECT_EQ(other_thread, 0u);
  EXPECT_EQ(Local().LastSystemError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(LocalFileSystem, ExecutablePathAndFolderInLayerForm) {
  const std::string path = Local().ExecutablePath();
  EXPECT_EQ(path.find('\\'), std::string::npos) << path;
  ASSERT_GT(path.size(), 21u);
  EXPECT_EQ(path.substr(path.size() - 21), "platform_win_test.exe");
  EXPECT_EQ(Local().ExecutableFolder(), ParentFolder(path));
  EXPECT_EQ(Local().ExecutableFolder() + "/platform_win_test.exe", path);
  EXPECT_TRUE(Local().IsAbsolute(path));
}

TEST(LocalFileSystem, RelativePathStaysRelative) {
  EXPECT_EQ(Local().MakeAbsolute("a/b.txt"), "a/b.txt");
  EXPECT_EQ(Local().MakeAbsolute("C:/a"), "C:/a");
  EXPECT_EQ(Local().SystemPath("a/b.txt"), L"a\\b.txt");
}

// What another program may do with a file while the layer holds it open in
// each mode: open it to read, to write, or delete it.
struct Sharing {
  bool read;
  bool write;
  bool remove;
};

Sharing SharingWhileOpen(const std::string& path, FileMode mode) {
  FileEntry entry(path);
  EXPECT_TRUE(entry.accessor->Open(entry, mode)) << static_cast<int>(mode);
  const std::wstring system = Local().SystemPath(path);
  auto can_open = [&](DWORD access) {
    ScopedHandle other(CreateFileW(system.c_str(), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    return other.valid();
  };
  Sharing sharing{can_open(GENERIC_READ), can_open(GENERIC_WRITE), can_open(DELETE)};
  entry.accessor->Close(entry);
  return sharing;
}

TEST(LocalFileSystem, EachModeSharesTheFileAsItPromises) {
  const std::string path = TempFolder("sharing") + "/s.txt";
  WriteFileBytes(path, "abc");
  const Sharing read = SharingWhileOpen(path, FileMode::kRead);
  EXPECT_TRUE(read.read && read.write && read.remove) << "kRead shares everything";
  for (FileMode exclusive : {FileMode::kWrite, FileMode::kAppend, FileMode::kReadExclusive}) {
    const Sharing s = SharingWhileOpen(path, exclusive);
    EXPECT_FALSE(s.read || s.write || s.remove) << "mode " << static_cast<int>(exclusive);
  }
  for (FileMode shared_read : {FileMode::kReadWrite, FileMode::kUpdate}) {
    const Sharing s = SharingWhileOpen(path, shared_read);
    EXPECT_TRUE(s.read) << "mode " << static_cast<int>(shared_read);
    EXPECT_FALSE(s.write || s.remove) << "mode " << static_cast<int>(shared_read);
  }
  DeleteFileW(Local().SystemPath(path).c_str());
  const Sharing created = SharingWhileOpen(path, FileMode::kCreateNew);
  EXPECT_FALSE(created.read || created.write || created.remove);
}

TEST(LocalFileSystem, EachModeCreatesOrRequiresTheFileAsItPromises) {
  const std::string folder = TempFolder("creation");
  auto opens_missing = [&](FileMode mode) {
    const std::string path = folder + "/missing.txt";
    DeleteFileW(Local().SystemPath(path).c_str());
    FileEntry entry(path);
    const bool opened = entry.accessor->Open(entry, mode);
    entry.accessor->Close(entry);
    const bool exists = GetFileAttributesW(Local().SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(opened, exists) << "mode " << static_cast<int>(mode);
    if (!opened) {
      EXPECT_EQ(entry.error, FileError::kNotFound) << "mode " << static_cast<int>(mode);
    }
    return opened;
  };
  EXPECT_FALSE(opens_missing(FileMode::kRead));
  EXPECT_FALSE(opens_missing(FileMode::kReadExclusive));
  EXPECT_FALSE(opens_missing(FileMode::kUpdate));
  EXPECT_TRUE(opens_missing(FileMode::kWrite));
  EXPECT_TRUE(opens_missing(FileMode::kReadWrite));
  EXPECT_TRUE(opens_missing(FileMode::kAppend));
  EXPECT_TRUE(opens_missing(FileMode::kCreateNew));

  // Create-new never opens a file that exists, and says so.
  const std::string taken = folder + "/taken.txt";
  WriteFileBytes(taken, "first");
  FileEntry again(taken);
  EXPECT_FALSE(again.accessor->Open(again, FileMode::kCreateNew));
  EXPECT_EQ(again.error, FileError::kAlreadyExists);
}

TEST(LocalFileSystem, EntryFlagsBecomeTheFilesAttributes) {
  const std::string path = TempFolder("attributes") + "/a.txt";
  const std::wstring system = Local().SystemPath(path);
  SetFileAttributesW(system.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(system.c_str());
  FileEntry entry(path);
  entry.flags = file_flags::kHidden | file_flags::kTemporary | file_flags::kNotContentIndexed;
  ASSERT_TRUE(entry.accessor->Open(entry, FileMode::kWrite));
  entry.accessor->Close(entry);
  const DWORD attributes = GetFileAttributesW(system.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  SetFileAttributesW(system.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(system.c_str());

  // The same file made directly with those attributes: some systems (Wine)
  // keep only some of them, and the layer's file must have exactly those.
  constexpr DWORD kAsked =
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  ScopedHandle direct(CreateFileW(system.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, kAsked, nullptr));
  ASSERT_TRUE(direct.valid());
  direct.reset();
  const DWORD kept = GetFileAttributesW(system.c_str()) & kAsked;
  SetFileAttributesW(system.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(system.c_str());
  EXPECT_TRUE(kept & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(attributes & kAsked, kept);
}

TEST(LocalFileSystem, FoldersAreCreatedWithTheirParentsAndListedByEnding) {
  const std::string folder = TempFolder("listing") + "/a/b";
  ASSERT_TRUE(Local().CreateFolders(folder));
  EXPECT_TRUE(Local().CreateFolders(folder));  // already there
  WriteFileBytes(folder + "/one.json.gz", "1");
  WriteFileBytes(folder + "/two.json.meta", "2");
  ASSERT_TRUE(Local().CreateFolders(folder + "/dir.json.gz"));
  EXPECT_EQ(Local().ListFiles(folder, ".json.gz"), std::vector<std::string>{"one.json.gz"});
  EXPECT_TRUE(Local().ListFiles(folder + "/none", ".json.gz").empty());
  WriteFileBytes(folder + "/file", "x");
  EXPECT_FALSE(Local().CreateFolders(folder + "/file/below"));
}

}  // namespace
}  // namespace nelko
