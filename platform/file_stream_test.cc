// Entries, the error mapping and the buffered streams over the local file
// system of the machine the tests run on.
#include "platform/file_stream.h"

#include <gtest/gtest.h>

#include "tests/support/diag_capture.h"
#include "tests/support/temp_files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/file_entry.h"
#include "platform/file_system.h"

namespace nelko {
namespace {

std::string TempPath(const char* name) { return test::TempFilePath(std::string("store_") + name); }
using test::ReadBytes;
using test::WriteBytes;

TEST(FileError, SystemErrorsMapToTheUniformCodes) {
  EXPECT_EQ(FileErrorFromSystemError(0), FileError::kNone);
  EXPECT_EQ(FileErrorFromSystemError(2), FileError::kNotFound);
  EXPECT_EQ(FileErrorFromSystemError(3), FileError::kNotFound);
  EXPECT_EQ(FileErrorFromSystemError(183), FileError::kAlreadyExists);
  EXPECT_EQ(FileErrorFromSystemError(5), FileError::kAccessDenied);
  EXPECT_EQ(FileErrorFromSystemError(32), FileError::kAccessDenied);
  EXPECT_EQ(FileErrorFromSystemError(33), FileError::kAccessDenied);
  EXPECT_EQ(FileErrorFromSystemError(17), FileError::kNotSameDevice);
  EXPECT_EQ(FileErrorFromSystemError(50), FileError::kNotSupported);
  EXPECT_EQ(FileErrorFromSystemError(80), FileError::kUnknown);
  EXPECT_EQ(FileErrorFromSystemError(0xFFFFFFFFu), FileError::kUnknown);
}

TEST(FileEntry, HoldsThePathInLayerFormAndIsAttached) {
  FileEntry entry("C:\\Users\\me\\x.json");
  EXPECT_STREQ(entry.path, "C:/Users/me/x.json");
  EXPECT_EQ(entry.fileSystem, &FileSystemRegistry::Get().DefaultFileSystem());
  EXPECT_EQ(entry.accessor, entry.fileSystem);
  EXPECT_FALSE(entry.IsOpen());
}

TEST(FileEntry, ReadAndWriteFailAtOnceWithoutOpen) {
  FileEntry entry(TempPath("never_opened"));
  char buffer[4];
  uint64_t done = 7;
  EXPECT_FALSE(entry.accessor->ReadAt(entry, 0, 4, buffer, &done));
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(entry.accessor->WriteAt(entry, 0, 4, "abcd", &done));
  EXPECT_TRUE(entry.accessor->Close(entry));
}

TEST(FileEntry, OpeningAMissingFileForReadingIsNotFound) {
  const std::string path = TempPath("missing");
  std::remove(path.c_str());
  FileEntry entry(path);
  EXPECT_FALSE(entry.accessor->Open(entry, FileMode::kRead));
  EXPECT_EQ(entry.error, FileError::kNotFound);
  EXPECT_FALSE(entry.IsOpen());
  char c;
  uint64_t done = 0;
  EXPECT_FALSE(entry.accessor->ReadAt(entry, 0, 1, &c, &done));
}

TEST(FileEntry, ReadAtTheEndOrOfNothingFailsAShortReadSucceeds) {
  const std::string path = TempPath("read_at");
  WriteBytes(path, "hello");
  FileEntry entry(path);
  ASSERT_TRUE(entry.accessor->Open(entry, FileMode::kRead));
  char buffer[16] = {};
  uint64_t done = 0;
  EXPECT_TRUE(entry.accessor->ReadAt(entry, 1, 16, buffer, &done));
  EXPECT_EQ(done, 4u);
  EXPECT_EQ(std::string(buffer, 4), "ello");
  EXPECT_FALSE(entry.accessor->ReadAt(entry, 5, 16, buffer, &done));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(entry.error, FileError::kNone);
  EXPECT_FALSE(entry.accessor->ReadAt(entry, 0, 0, buffer, &done));
  EXPECT_TRUE(entry.accessor->Close(entry));
  EXPECT_FALSE(entry.IsOpen());
  std::remove(path.c_str());
}

TEST(FileEntry, AppendWritesAfterTheExistingContent) {
  const std::string path = TempPath("append");
  WriteBytes(path, "abc");
  FileEntry entry(path);
  ASSERT_TRUE(entry.accessor->Open(entry, FileMode::kAppend));
  uint64_t done = 0;
  EXPECT_TRUE(entry.accessor->WriteAt(entry, 3, 2, "de", &done));
  EXPECT_EQ(done, 2u);
  EXPECT_TRUE(entry.accessor->Close(entry));
  EXPECT_EQ(ReadBytes(path), "abcde");
  std::remove(path.c_str());
}

TEST(FileEntry, ReplaceSwapsInTheNewContentAndRemovesTheSource) {
  const std::string target_path = TempPath("replace_target");
  const std::string source_path = TempPath("replace_source");
  WriteBytes(target_path, "old");
  WriteBytes(source_path, "new");
  FileEntry source(source_path);
  FileEntry target(target_path);
  EXPECT_TRUE(target.accessor->Replace(source, target));
  EXPECT_EQ(ReadBytes(target_path), "new");
  EXPECT_FALSE(std::ifstream(source_path).good());
  EXPECT_TRUE(target.accessor->Delete(target));
  EXPECT_FALSE(std::ifstream(target_path).good());
}

TEST(FileStreams, RoundTripAcrossManyBufferRefills) {
  const std::string path = TempPath("stream_roundtrip");
  std::string content;
  for (int i = 0; i < 10000; ++i) content += static_cast<char>('a' + i % 26);
  {
    FileOutputStream out(path, 7);
    ASSERT_TRUE(out.IsOpen());
    for (size_t i = 0; i < 5000; ++i) out.Put(content[i]);
    out.Write(std::string_view(content).substr(5000));
    EXPECT_TRUE(out.Close());
  }
  EXPECT_EQ(ReadBytes(path), content);

  FileInputStream in(path, 13);
  ASSERT_TRUE(in.IsOpen());
  std::string read;
  EXPECT_EQ(in.Peek(), 'a');
  while (in.Peek() != '\0') {
    EXPECT_EQ(in.Tell(), read.size());
    read += in.Take();
  }
  EXPECT_EQ(read, content);
  EXPECT_EQ(in.Tell(), content.size());
  EXPECT_EQ(in.Take(), '\0');
  EXPECT_FALSE(in.ReadFailed());
  std::remove(path.c_str());
}

TEST(FileStreams, MissingInputIsEmptyAndNotOpen) {
  const std::string path = TempPath("stream_missing");
  std::remove(path.c_str());
  FileInputStream in(path);
  EXPECT_FALSE(in.IsOpen());
  EXPECT_EQ(in.Peek(), '\0');
  EXPECT_EQ(in.Tell(), 0u);
}

TEST(FileStreams, OutputIntoAMissingFolderFails) {
  FileOutputStream out(TempPath("no_such_folder/x.json"));
  EXPECT_FALSE(out.IsOpen());
  out.Write("abc");
  EXPECT_FALSE(out.Close());
}

TEST(FileStreams, PositionBeyondTheSizeTypeIsReportedAndTruncated) {
  test::DiagCapture capture;
  EXPECT_EQ(CastStreamPosition<uint32_t>(0xFFFFFFFFull), 0xFFFFFFFFu);
  EXPECT_EQ(capture.Take(), "");
  EXPECT_EQ(CastStreamPosition<uint32_t>(0x100000005ull), 5u);
  const std::string text = capture.Take();
  EXPECT_NE(text.find("Value cannot be stored by type cast target: exceeds maximum representable value. "
                      "Result will be truncated."),
            std::string::npos);
}

}  // namespace
}  // namespace nelko
