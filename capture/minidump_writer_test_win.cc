#include "capture/minidump_writer_win.h"

#include <gtest/gtest.h>

#include <string>

#include "capture/capture_test_files_win.h"
#include "tests/support/diag_capture.h"
#include "tests/support/minidump_reader.h"

namespace nelko {
namespace {

using test::FileExists;
using test::TempFolder;

struct OwnCrash {
  OwnCrash() {
    RtlCaptureContext(&context);
    record.ExceptionCode = 0xE0001234u;
    record.ExceptionAddress = reinterpret_cast<void*>(&RtlCaptureContext);
  }
  EXCEPTION_RECORD record = {};
  CONTEXT context = {};
};

TEST(WriteMinidump, ADumpOfAProcessHoldsItsThreadsExceptionAndModules) {
  TempFolder folder(L"dump");
  const std::wstring path = folder.path() + L"\\crash.dmp";
  test::DiagCapture output;
  OwnCrash crash;
  ASSERT_TRUE(WriteMinidump(GetCurrentProcess(), path, GetCurrentThreadId(), crash.record, crash.context));
  EXPECT_EQ(output.Take(), "writing minidump\n");
  const test::Minidump dump = test::ParseMinidump(test::ReadWholeFile(path));
  ASSERT_EQ(dump.error, "");
  EXPECT_TRUE(dump.HasThread(GetCurrentThreadId()));
  ASSERT_TRUE(dump.has_exception);
  EXPECT_EQ(dump.exception_thread_id, GetCurrentThreadId());
  EXPECT_EQ(dump.exception_code, 0xE0001234u);
  bool found_self = false;
  for (const auto& module : dump.modules) {
    if (module.name.find("capture_win_test.exe") != std::string::npos) found_self = true;
  }
  EXPECT_TRUE(found_self);
}

TEST(WriteMinidump, AMissingFolderFailsWithThePathNotFoundCode) {
  test::DiagCapture output;
  OwnCrash crash;
  EXPECT_FALSE(WriteMinidump(GetCurrentProcess(), L"C:\\nelko-no-such-folder\\crash.dmp",
                             GetCurrentThreadId(), crash.record, crash.context));
  EXPECT_EQ(output.Take(),
            "Failed to generate minidump at 'C:\\nelko-no-such-folder\\crash.dmp' (80070003)\n");
}

TEST(WriteMinidump, WithoutTheLibraryTwoLinesAreWrittenNoFileRemainsAndTheNextCallTriesAgain) {
  TempFolder folder(L"no-lib");
  const std::wstring path = folder.path() + L"\\crash.dmp";
  test::DiagCapture output;
  OwnCrash crash;
  MiniDumpLibrary library;
  EXPECT_FALSE(WriteMinidumpWith(library, "nelko-no-such-dbghelp.dll", GetCurrentProcess(), path,
                                 GetCurrentThreadId(), crash.record, crash.context));
  const std::string out = output.Take();
  EXPECT_EQ(out.rfind("ERROR: DumpMiniDump: dbghelp.dll not found\nFailed to generate minidump at '", 0), 0u)
      << out;
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(library.module, nullptr);
  // A later crash loads it after all.
  EXPECT_TRUE(WriteMinidumpWith(library, "dbghelp.dll", GetCurrentProcess(), path, GetCurrentThreadId(),
                                crash.record, crash.context));
  EXPECT_TRUE(FileExists(path));
}

TEST(WriteMinidump, ALibraryWithoutTheEntryPointIsNotLoadedAgain) {
  TempFolder folder(L"no-entry");
  const std::wstring path = folder.path() + L"\\crash.dmp";
  test::DiagCapture output;
  OwnCrash crash;
  MiniDumpLibrary library;
  EXPECT_FALSE(WriteMinidumpWith(library, "kernel32.dll", GetCurrentProcess(), path, GetCurrentThreadId(),
                                 crash.record, crash.context));
  const std::string out = output.Take();
  EXPECT_EQ(out.rfind("ERROR: DumpMiniDump: MiniDumpWriteDump function in dbghelp.dll not found\n"
                      "Failed to generate minidump at '",
                      0),
            0u)
      << out;
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(WriteMinidumpWith(library, "dbghelp.dll", GetCurrentProcess(), path, GetCurrentThreadId(),
                                 crash.record, crash.context));
  EXPECT_NE(output.Take().find("MiniDumpWriteDump function in dbghelp.dll not found"), std::string::npos);
}

}  // namespace
}  // namespace nelko
