#include "capture/crash_folder_win.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "capture/capture_test_files_win.h"

namespace nelko {
namespace {

using test::FileExists;
using test::TempFolder;
using test::WriteTextFile;

SYSTEMTIME Time(WORD ms) {
  SYSTEMTIME t = {};
  t.wYear = 2026;
  t.wMonth = 3;
  t.wDay = 7;
  t.wHour = 4;
  t.wMinute = 5;
  t.wSecond = 6;
  t.wMilliseconds = ms;
  return t;
}

std::wstring TempRoot() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring path = temp;
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

TEST(CreateCrashFolder, IsNamedAfterTheUtcTimeDownToTheMillisecond) {
  TempFolder root(L"folder");
  const CrashFolder folder = CreateCrashFolderAt(root.path(), Time(7));
  EXPECT_TRUE(folder.created);
  EXPECT_EQ(folder.path, root.path() + L"\\Crash_2026-03-07_040506007");
  EXPECT_TRUE(FileExists(folder.path));
}

TEST(CreateCrashFolder, MakesMissingParents) {
  TempFolder root(L"parents");
  const CrashFolder folder = CreateCrashFolderAt(root.path() + L"\\a\\b", Time(8));
  EXPECT_TRUE(folder.created);
  EXPECT_TRUE(FileExists(root.path() + L"\\a\\b\\Crash_2026-03-07_040506008"));
}

// Two crashes in one millisecond must not share a folder, or the second
// dump would replace the first.
TEST(CreateCrashFolder, ASecondCrashInTheSameMillisecondGetsAFolderOfItsOwn) {
  TempFolder root(L"same-ms");
  const CrashFolder first = CreateCrashFolderAt(root.path(), Time(9));
  const CrashFolder second = CreateCrashFolderAt(root.path(), Time(9));
  const CrashFolder third = CreateCrashFolderAt(root.path(), Time(9));
  EXPECT_TRUE(first.created && second.created && third.created);
  EXPECT_EQ(second.path, first.path + L"_2");
  EXPECT_EQ(third.path, first.path + L"_3");
}

TEST(CreateCrashFolder, AFileInTheWayIsNotTakenForTheFolder) {
  TempFolder root(L"file-in-way");
  WriteTextFile(root.path() + L"\\Crash_2026-03-07_040506010", "x");
  const CrashFolder folder = CreateCrashFolderAt(root.path(), Time(10));
  EXPECT_TRUE(folder.created);
  EXPECT_EQ(folder.path, root.path() + L"\\Crash_2026-03-07_040506010_2");
}

TEST(CreateCrashFolder, AnEmptyPathOrOneBelowAFileFallsBackToTheTemporaryFolder) {
  const CrashFolder empty = CreateCrashFolderAt(L"", Time(11));
  EXPECT_TRUE(empty.created);
  EXPECT_EQ(empty.path.rfind(TempRoot() + L"\\Crash_2026-03-07_040506011", 0), 0u);
  test::RemoveTree(empty.path);

  TempFolder root(L"below-file");
  WriteTextFile(root.path() + L"\\file", "x");
  const CrashFolder below = CreateCrashFolderAt(root.path() + L"\\file\\crashes", Time(12));
  EXPECT_TRUE(below.created);
  EXPECT_EQ(below.path.rfind(TempRoot() + L"\\Crash_2026-03-07_040506012", 0), 0u);
  test::RemoveTree(below.path);
}

TEST(MakeUniquePath, CountsFromOneWithThreeDigitsBeforeTheExtension) {
  TempFolder root(L"unique");
  const std::wstring a = root.path() + L"\\a.txt";
  WriteTextFile(a, "x");
  EXPECT_EQ(MakeUniquePath(a), root.path() + L"\\a001.txt");
  WriteTextFile(root.path() + L"\\a001.txt", "x");
  EXPECT_EQ(MakeUniquePath(a), root.path() + L"\\a002.txt");
  // A folder of the name does not count as taken.
  CreateDirectoryW((root.path() + L"\\a002.txt").c_str(), nullptr);
  EXPECT_EQ(MakeUniquePath(a), root.path() + L"\\a002.txt");
}

TEST(MakeUniquePath, SplitsAtTheLastDotOfTheFileName) {
  // A dot in a folder name is not an extension.
  EXPECT_EQ(MakeUniquePath(L"C:\\nelko-no-such.dir\\log"), L"C:\\nelko-no-such.dir\\log001");
  EXPECT_EQ(MakeUniquePath(L"C:\\nelko-no-such\\log"), L"C:\\nelko-no-such\\log001");
  EXPECT_EQ(MakeUniquePath(L"C:\\nelko-no-such\\a.b.txt"), L"C:\\nelko-no-such\\a.b001.txt");
}

TEST(MakeUniquePath, GivesNoNameWhenAllNineHundredNinetyNineAreTaken) {
  TempFolder root(L"all-taken");
  WriteTextFile(root.path() + L"\\z.log", "x");
  for (int n = 1; n <= 999; ++n) {
    wchar_t name[32];
    std::swprintf(name, 32, L"\\z%03d.log", n);
    WriteTextFile(root.path() + name, "x");
  }
  EXPECT_EQ(MakeUniquePath(root.path() + L"\\z.log"), L"");
}

}  // namespace
}  // namespace nelko
