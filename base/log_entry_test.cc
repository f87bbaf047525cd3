#include "base/log_entry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/diag_output.h"

namespace nelko {
namespace {

// Sends the diagnostic output to a temporary file and reads it back.
class CapturedOutput {
 public:
  CapturedOutput() : file_(std::tmpfile()) { SetDiagOutputStream(file_); }
  ~CapturedOutput() {
    SetDiagOutputStream(nullptr);
    std::fclose(file_);
  }
  std::string Text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  std::FILE* file_;
};

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
  CapturedOutput out;
  PrintLogEntry(Entry("plain", "", 1));
  PrintLogEntry(Entry("ended\n", "", 1));
  EXPECT_EQ(out.Text(), "plain\nended\n");
}

TEST(PrintLogEntry, TraceLosesOneLeadingLineBreakOnly) {
  CapturedOutput out;
  PrintLogEntry(Entry("msg", "\n\nframe", 1));
  EXPECT_EQ(out.Text(), "msg\n\nframe\n\n");
}

TEST(PrintLogEntry, FileAndLineWhenAskedFor) {
  CapturedOutput out;
  PrintLogEntry(Entry("msg", "trace\n", 1 | 0x800000, "a/b.cpp", 42));
  EXPECT_EQ(out.Text(), "msg\ntrace\n\n(Filename: a/b.cpp Line: 42)\n\n");
}

TEST(PrintLogEntry, FileAndLineLeftOut) {
  CapturedOutput out;
  PrintLogEntry(Entry("m", "t", 1 | 0x800000, "x/Debug.bindings.h", 9));  // bindings file
  PrintLogEntry(Entry("m", "t", 1 | 0x800000, "x.cpp", 0));               // unknown line
  PrintLogEntry(Entry("m", "t", 1, "x.cpp", 9));                          // flag absent
  EXPECT_EQ(out.Text(), "m\nt\n\nm\nt\n\nm\nt\n\n");
}

TEST(PrintLogEntry, TraceOfPlainLogIsNotPrinted) {
  CapturedOutput out;
  PrintLogEntry(Entry("m", "t", 0x4));
  PrintLogEntry(Entry("m", "t", 0x1 | 0x40000));
  EXPECT_EQ(out.Text(), "m\nm\n");
}

TEST(ReportLogEntry, DropsTraceUnlessAskedToKeepIt) {
  CapturedOutput out;
  ReportLogEntry(Entry("a", "t", 0x1));
  ReportLogEntry(Entry("b", "t", 0x1 | 0x400000));
  ReportLogEntry(Entry("c", "t", 0x4 | 0x400000));  // log type: never kept
  EXPECT_EQ(out.Text(), "a\nb\nt\n\nc\n");
}

TEST(ReportError, PrintsMessageWithLineBreak) {
  CapturedOutput out;
  ReportError("Unexpected node type.", "Modules/JSONSerialize/Public/JSONWrite", 32);
  EXPECT_EQ(out.Text(), "Unexpected node type.\n");
}

}  // namespace
}  // namespace nelko
