#include "session/command_handler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/diag_capture.h"

namespace nelko {
namespace {

class CommandHandlerTest : public ::testing::Test {
 protected:
  // Applies one message given as its payload bytes, with the NUL the reader
  // appends when the payload does not end with one.
  void Send(std::string payload) {
    if (payload.empty() || payload.back() != '\0') payload.push_back('\0');
    handler_.HandleMessage(payload.data(), payload.size());
  }
  void Command(std::initializer_list<std::string> strings) {
    std::string payload;
    for (const std::string& s : strings) payload += s + '\0';
    Send(payload);
  }

  test::DiagCapture output_;
  SessionSettings settings_;
  CommandHandler handler_{settings_};
};

TEST_F(CommandHandlerTest, EchoesEveryMessageOnOneLine) {
  Command({"SetVendor", "Acme"});
  EXPECT_EQ(output_.Take(), "Message payload [2]: 'SetVendor' 'Acme' \n");
  EXPECT_EQ(settings_.vendor, "Acme");
}

TEST_F(CommandHandlerTest, AFinalNulIsOptional) {
  Send(std::string("SetInfo\0text", 12));
  EXPECT_EQ(settings_.info, "text");
  Send(std::string("SetInfo\0other\0", 14));
  EXPECT_EQ(settings_.info, "other");
}

TEST_F(CommandHandlerTest, AnEmptyParameterIsAParameter) {
  Send(std::string("SetInfo\0\0", 9));
  EXPECT_EQ(settings_.info, "");
  EXPECT_EQ(output_.Take(), "Message payload [2]: 'SetInfo' '' \n");
}

TEST_F(CommandHandlerTest, AZeroLengthMessageIsAnUnknownEmptyCommand) {
  Send("");
  EXPECT_EQ(output_.Take(),
            "Message payload [1]: '' \n"
            "Corrupt message sent to crash handler: Unknown message\nPayload:\n"
            "  [0] \n");
}

TEST_F(CommandHandlerTest, CommandNamesAreCaseSensitive) {
  Command({"setinfo", "x"});
  EXPECT_EQ(settings_.info, "<not set>");
  EXPECT_NE(output_.Take().find("Unknown message\nPayload:\n  [0] setinfo\n  [1] x\n"), std::string::npos);
}

TEST_F(CommandHandlerTest, NothingIsDispatchedWithoutStrings) {
  handler_.DispatchCommand(nullptr, 0);
  EXPECT_EQ(output_.Take(),
            "Corrupt message sent to crash handler: Empty message recieved by crash handler.\nPayload:\n");
}

struct CountCase {
  const char* command;
  int count;
  const char* error;
};

// Every command, once with one string too few and once with one too many:
// each is reported with its own text and changes nothing.
TEST_F(CommandHandlerTest, AWrongCountIsReportedWithTheCommandsTextAndChangesNothing) {
  const CountCase cases[] = {
      {"AddFile", 3, "Expected two parameters 'file' and 'desc'"},
      {"RemoveFile", 2, "Expected parameter 'file'"},
      {"SetIsEditor", 2, "Expected parameter 'isEditor'"},
      {"SetMetaData", 3, "Expected two parameters 'key' and 'value'"},
      {"SetUserMetaData", 3, "Expected two parameters 'key' and 'value'"},
      {"SetAppName", 2, "Expected parameter 'name'"},
      {"SetVendor", 2, "Expected parameter 'vendor'"},
      {"SetInfo", 2, "Expected parameter 'info'"},
      {"SetShowDialog", 2, "Expected parameter 'showDialog'"},
      {"SetBugReporterAppPath", 2, "Expected parameter 'path'"},
      {"SetCrashReportPath", 2, "Expected parameter 'path'"},
      {"SetAnalyticsCrashFilePath", 2, "Expected parameter 'path'"},
      {"SetMonoPath", 2, "Expected parameter 'path'"},
      {"SetLogBufferSize", 2, "Expected parameter 'logBufferSize'"},
      {"RecordLogMessage", 5, "Expected four parameters 'message', 'timestamp', 'framecount', and 'type'"},
  };
  settings_.log_ring.Resize(5);
  for (const CountCase& c : cases) {
    for (int count : {c.count - 1, c.count + 1}) {
      std::string payload = std::string(c.command) + '\0';
      for (int i = 1; i < count; ++i) payload += "1/x" + std::string(1, '\0');
      output_.Take();
      Send(payload);
      const std::string out = output_.Take();
      EXPECT_NE(out.find(std::string("Corrupt message sent to crash handler: ") + c.error +
                         "\nPayload:\n  [0] " + c.command + "\n"),
                std::string::npos)
          << c.command << " with " << count << ": " << out;
    }
  }
  SessionSettings defaults;
  EXPECT_TRUE(settings_.attached_files.empty());
  EXPECT_TRUE(settings_.metadata.empty());
  EXPECT_TRUE(settings_.user_metadata.empty());
  EXPECT_EQ(settings_.app_name, defaults.app_name);
  EXPECT_EQ(settings_.vendor, defaults.vendor);
  EXPECT_EQ(settings_.info, defaults.info);
  EXPECT_EQ(settings_.show_dialog, defaults.show_dialog);
  EXPECT_EQ(settings_.is_editor, defaults.is_editor);
  EXPECT_EQ(settings_.bug_reporter_command, "");
  EXPECT_EQ(settings_.crash_report_path, "");
  EXPECT_EQ(settings_.analytics_crash_file_path, "");
  EXPECT_EQ(settings_.mono_path, "");
  EXPECT_EQ(settings_.log_ring.capacity(), 5u);
  EXPECT_TRUE(settings_.log_ring.Snapshot().empty());
}

TEST_F(CommandHandlerTest, SwitchesTakeLowerCaseTrueAndFalseOnly) {
  Command({"SetIsEditor", "true"});
  EXPECT_TRUE(settings_.is_editor);
  Command({"SetShowDialog", "false"});
  EXPECT_FALSE(settings_.show_dialog);
  output_.Take();

  Command({"SetShowDialog", "TRUE"});
  EXPECT_FALSE(settings_.show_dialog);
  EXPECT_EQ(
      output_.Take(),
      "Message payload [2]: 'SetShowDialog' 'TRUE' \n"
      "Corrupt message sent to crash handler: Parameter for 'SetShowDialog' should be 'true' or 'false'\n"
      "Payload:\n  [0] SetShowDialog\n  [1] TRUE\n");
  Command({"SetIsEditor", "1"});
  EXPECT_TRUE(settings_.is_editor);
  EXPECT_NE(output_.Take().find("Parameter for 'isEditor' should be 'true' or 'false'"), std::string::npos);

  Command({"SetIsEditor", "false"});
  Command({"SetShowDialog", "true"});
  EXPECT_FALSE(settings_.is_editor);
  EXPECT_TRUE(settings_.show_dialog);
}

TEST_F(CommandHandlerTest, AttachedFilesUseBackslashesAndAreRemovedByExactPath) {
  Command({"AddFile", "a/b.txt", "first"});
  Command({"AddFile", "c\\d.log", "second"});
  Command({"AddFile", "a/b.txt", "again"});
  ASSERT_EQ(settings_.attached_files.size(), 3u);
  EXPECT_EQ(settings_.attached_files[0].path, "a\\b.txt");
  EXPECT_EQ(settings_.attached_files[0].description, "first");
  EXPECT_EQ(settings_.attached_files[2].description, "again");

  Command({"RemoveFile", "A\\B.TXT"});
  EXPECT_EQ(settings_.attached_files.size(), 3u);
  Command({"RemoveFile", "a/b.txt"});
  ASSERT_EQ(settings_.attached_files.size(), 1u);
  EXPECT_EQ(settings_.attached_files[0].path, "c\\d.log");
}

TEST_F(CommandHandlerTest, PathsGetBackslashesButTheBugReporterTemplateIsKeptAsSent) {
  Command({"SetCrashReportPath", "C:/reports/x"});
  Command({"SetAnalyticsCrashFilePath", "C:/a/b.json"});
  Command({"SetMonoPath", "D:/mono/"});
  Command({"SetBugReporterAppPath", "C:/bin/rep.exe <attachFile:/f <file>>"});
  Command({"SetAppName", "Game"});
  EXPECT_EQ(settings_.crash_report_path, "C:\\reports\\x");
  EXPECT_EQ(settings_.analytics_crash_file_path, "C:\\a\\b.json");
  EXPECT_EQ(settings_.mono_path, "D:\\mono\\");
  EXPECT_EQ(settings_.bug_reporter_command, "C:/bin/rep.exe <attachFile:/f <file>>");
  EXPECT_EQ(settings_.app_name, "Game");
}

TEST_F(CommandHandlerTest, MetadataKeepsTheLastValueOfAKey) {
  Command({"SetMetaData", "k", "1"});
  Command({"SetMetaData", "k", "2"});
  Command({"SetMetaData", "", "empty key"});
  EXPECT_EQ(settings_.metadata.size(), 2u);
  EXPECT_EQ(settings_.metadata["k"], "2");
  EXPECT_EQ(settings_.metadata[""], "empty key");
}

TEST_F(CommandHandlerTest, UserMetadataIsCutAtWholeCharacters) {
  Command({"SetUserMetaData", std::string(300, 'k'), std::string(2000, 'v')});
  ASSERT_EQ(settings_.user_metadata.size(), 1u);
  EXPECT_EQ(settings_.user_metadata.begin()->first, std::string(255, 'k'));
  EXPECT_EQ(settings_.user_metadata.begin()->second, std::string(1024, 'v'));

  // "é" (2 bytes) straddling byte 255 of the key and byte 1024 of the value.
  Command({"SetUserMetaData", std::string(254, 'a') + "\xC3\xA9", std::string(1023, 'b') + "\xC3\xA9"});
  EXPECT_EQ(settings_.user_metadata.count(std::string(254, 'a')), 1u);
  EXPECT_EQ(settings_.user_metadata[std::string(254, 'a')], std::string(1023, 'b'));
}

TEST_F(CommandHandlerTest, LogBufferSizeThatIsNotANumberIsIgnoredSilently) {
  Command({"SetLogBufferSize", "3"});
  output_.Take();
  for (const char* bad : {"-5", "abc", "4294967296"}) {
    Command({"SetLogBufferSize", bad});
    EXPECT_EQ(output_.Take(), std::string("Message payload [2]: 'SetLogBufferSize' '") + bad + "' \n");
  }
  EXPECT_EQ(settings_.log_ring.capacity(), 3u);
}

TEST_F(CommandHandlerTest, LogMessagesAreStoredWithTheirFields) {
  Command({"RecordLogMessage", "before", "1", "2", "3"});
  EXPECT_TRUE(settings_.log_ring.Snapshot().empty());
  Command({"SetLogBufferSize", "3"});
  Command({"RecordLogMessage", "hello", "18446744073709551615", "2147483647", "70000"});
  const auto records = settings_.log_ring.Snapshot();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], (LogRecord{"hello", 18446744073709551615ull, 2147483647, 4464}));
}

TEST_F(CommandHandlerTest, ABadLogFieldIsReportedAndTheRecordKeptAllTheSame) {
  Command({"SetLogBufferSize", "2"});
  output_.Take();
  Command({"RecordLogMessage", "msg", "-1", "x", "2147483648"});
  EXPECT_EQ(output_.Take(),
            "Message payload [5]: 'RecordLogMessage' 'msg' '-1' 'x' '2147483648' \n"
            "Corrupt log message timestamp sent to crash handler: -1\n"
            "Corrupt log message framecount sent to crash handler: x\n"
            "Corrupt log message type sent to crash handler: 2147483648\n");
  const auto records = settings_.log_ring.Snapshot();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], (LogRecord{"msg", 0, 0, 0}));
}

// The reader thread must outlive any message: a failed allocation at any
// step skips that message with a line and leaves the settings as they were.
TEST_F(CommandHandlerTest, AnAllocationFailureAtAnyStepSkipsOnlyThatMessage) {
  using Point = CommandHandler::FailurePoint;
  Command({"SetInfo", "before"});
  Command({"SetMetaData", "k", "v1"});
  output_.Take();

  handler_.set_failure_point(Point::kStringTable);
  Command({"SetInfo", "lost"});
  EXPECT_NE(output_.Take().find("for want of memory; message skipped"), std::string::npos);
  EXPECT_EQ(settings_.info, "before");

  handler_.set_failure_point(Point::kApply);
  Command({"SetMetaData", "k", "v2"});
  EXPECT_EQ(output_.Take(),
            "Message payload [3]: 'SetMetaData' 'k' 'v2' \n"
            "Crash handler could not apply SetMetaData for want of memory; message skipped\n");
  EXPECT_EQ(settings_.metadata.at("k"), "v1");

  // Without memory for the echo line it goes out in pieces, and the command
  // is still applied.
  handler_.set_failure_point(Point::kEcho);
  Command({"SetInfo", "after"});
  EXPECT_EQ(output_.Take(), "Message payload [2]: 'SetInfo' 'after' \n");
  EXPECT_EQ(settings_.info, "after");

  Command({"SetVendor", "still working"});
  EXPECT_EQ(settings_.vendor, "still working");
}

TEST_F(CommandHandlerTest, ALargeMessageOfNulBytesIsEchoedAndReportedWithoutEndingTheHandler) {
  Send(std::string(200000, '\0'));
  const std::string out = output_.Take();
  EXPECT_EQ(out.rfind("Message payload [200000]: '' '' ", 0), 0u);
  EXPECT_NE(out.find("Unknown message"), std::string::npos);
  EXPECT_NE(out.find("  [199999] \n"), std::string::npos);
  Command({"SetInfo", "next"});
  EXPECT_EQ(settings_.info, "next");
}

}  // namespace
}  // namespace nelko
