#include "base/log_entry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/diag_capture.h"

namespace nelko {
namespace {

LogEntry Entry(std::string message, std::string trace, uint32_t mode, std::string file = "",
               int32_t line = 0) {
  LogEntry e;
  e.message = std::move(message);
  e.stack_trace = std::move(trace);
  e.mode = mode;
  e.file = std::move(file);
  e.line = line;
  return e;
}

TEST(LogEntryType, FirstMatchingFlagWins) {
  EXPECT_EQ(LogTypeFromMode(0x20000 | 0x1), LogType::kException);
  EXPECT_EQ(LogTypeFromMode(0x1), LogType::kError);
  EXPECT_EQ(LogTypeFromMode(0x800), LogType::kError);
  EXPECT_EQ(LogTypeFromMode(0x2 | 0x80), LogType::kAssert);
  EXPECT_EQ(LogTypeFromMode(0x200000), LogType::kAssert);
  EXPECT_EQ(LogTypeFromMode(0x1000), LogType::kWarning);
  EXPECT_EQ(LogTypeFromMode(0x200), LogType::kWarning);
  EXPECT_EQ(LogTypeFromMode(0x4), LogType::kLog);
  EXPECT_EQ(LogTypeFromMode(0), LogType::kLog);
}

TEST(LogEntryType, StackTracePermission) {
  EXPECT_TRUE(StackTraceAllowed(LogType::kError, 0));
  EXPECT_TRUE(StackTraceAllowed(LogType::kException, 0));
  EXPECT_FALSE(StackTraceAllowed(LogType::kLog, 0));
  EXPECT_FALSE(StackTraceAllowed(LogType::kError, 0x40000));
  EXPECT_TRUE(StackTraceAllowed(LogType::kLog, 0x100));
  EXPECT_TRUE(StackTraceAllowed(LogType::kLog, 0x200 | 0x40000));
}

TEST(PrintLogEntry, MessageGetsExactlyOneLineBreak) {
  test::DiagCapture out;
  PrintLogEntry(Entry("plain", "", 1));
  PrintLogEntry(Entry("ended\n", "", 1));
  EXPECT_EQ(out.Take(), "plain\nended\n");
}

TEST(PrintLogEntry, TraceLosesOneLeadingLineBreakOnly) {
  test::DiagCapture out;
  PrintLogEntry(Entry("msg", "\n\nframe", 1));
  EXPECT_EQ(out.Take(), "msg\n\nframe\n\n");
}

TEST(PrintLogEntry, FileAndLineWhenAskedFor) {
  test::DiagCapture out;
  PrintLogEntry(Entry("msg", "trace\n", 1 | 0x800000, "a/b.cpp", 42));
  EXPECT_EQ(out.Take(), "msg\ntrace\n\n(Filename: a/b.cpp Line: 42)\n\n");
}

TEST(PrintLogEntry, FileAndLineLeftOut) {
  test::DiagCapture out;
  PrintLogEntry(Entry("m", "t", 1 | 0x800000, "x/Debug.bindings.h", 9));  // bindings file
  PrintLogEntry(Entry("m", "t", 1 | 0x800000, "x.cpp", 0));               // unknown line
  PrintLogEntry(Entry("m", "t", 1, "x.cpp", 9));                          // flag absent
  EXPECT_EQ(out.Take(), "m\nt\n\nm\nt\n\nm\nt\n\n");
}

TEST(PrintLogEntry, TraceOfPlainLogIsNotPrinted) {
  test::DiagCapture out;
  PrintLogEntry(Entry("m", "t", 0x4));
  PrintLogEntry(Entry("m", "t", 0x1 | 0x40000));
  EXPECT_EQ(out.Take(), "m\nm\n");
}

TEST(ReportLogEntry, DropsTraceUnlessAskedToKeepIt) {
  test::DiagCapture out;
  ReportLogEntry(Entry("a", "t", 0x1));
  ReportLogEntry(Entry("b", "t", 0x1 | 0x400000));
  ReportLogEntry(Entry("c", "t", 0x4 | 0x400000));  // log type: never kept
  EXPECT_EQ(out.Take(), "a\nb\nt\n\nc\n");
}

TEST(ReportError, PrintsMessageWithLineBreak) {
  test::DiagCapture out;
  ReportError("Unexpected node type.", "Modules/JSONSerialize/Public/JSONWrite", 32);
  EXPECT_EQ(out.Take(), "Unexpected node type.\n");
}

}  // namespace
}  // namespace nelko
