#include "session/session_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "session/command_handler.h"
#include "tests/support/diag_capture.h"

namespace nelko {
namespace {

void Command(CommandHandler& handler, std::initializer_list<std::string> strings) {
  std::string payload;
  for (const std::string& s : strings) payload += s + '\0';
  handler.HandleMessage(payload.data(), payload.size());
}

TEST(SessionSettingsCopy, CarriesEveryFieldAndTheLogRingInOrder) {
  test::DiagCapture output;
  SessionSettings settings;
  CommandHandler handler(settings);
  Command(handler, {"SetMetaData", "ReportJson", "{}"});
  Command(handler, {"AddFile", "C:/logs/a.txt", "log"});
  Command(handler, {"SetBugReporterAppPath", "r.exe <crashReportPath>"});
  Command(handler, {"SetCrashReportPath", "C:/crashes"});
  Command(handler, {"SetAppName", "Game"});
  Command(handler, {"SetVendor", "Maker"});
  Command(handler, {"SetInfo", "1.2"});
  Command(handler, {"SetMonoPath", "C:/mono.dll"});
  Command(handler, {"SetAnalyticsCrashFilePath", "C:/a.json"});
  Command(handler, {"SetShowDialog", "false"});
  Command(handler, {"SetIsEditor", "true"});
  Command(handler, {"SetUserMetaData", "level", "3"});
  Command(handler, {"SetLogBufferSize", "3"});
  for (const char* m : {"A", "B", "C", "D"}) Command(handler, {"RecordLogMessage", m, "1", "2", "3"});

  SessionSettings copy;
  copy.log_ring.Resize(10);  // replaced, not merged
  copy.log_ring.Append("old", 0, 0, 0);
  settings.CopyTo(copy);
  EXPECT_EQ(copy.metadata.at("ReportJson"), "{}");
  ASSERT_EQ(copy.attached_files.size(), 1u);
  EXPECT_EQ(copy.attached_files[0].path, "C:\\logs\\a.txt");
  EXPECT_EQ(copy.bug_reporter_command, "r.exe <crashReportPath>");
  EXPECT_EQ(copy.crash_report_path, "C:\\crashes");
  EXPECT_EQ(copy.app_name, "Game");
  EXPECT_EQ(copy.vendor, "Maker");
  EXPECT_EQ(copy.info, "1.2");
  EXPECT_EQ(copy.mono_path, "C:\\mono.dll");
  EXPECT_EQ(copy.analytics_crash_file_path, "C:\\a.json");
  EXPECT_FALSE(copy.show_dialog);
  EXPECT_TRUE(copy.is_editor);
  EXPECT_EQ(copy.user_metadata.at("level"), "3");
  EXPECT_EQ(copy.log_ring.capacity(), 3u);
  const auto records = copy.log_ring.Snapshot();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].message, "B");
  EXPECT_EQ(records[2].message, "D");
  // The next record replaces the oldest, as it would have in the original.
  copy.log_ring.Append("E", 0, 0, 0);
  EXPECT_EQ(copy.log_ring.Snapshot()[0].message, "C");
  EXPECT_EQ(settings.log_ring.Snapshot()[0].message, "B");
}

// The crash pipeline copies the settings while the reader thread goes on
// applying commands: every copy must hold whole values of whole commands.
TEST(SessionSettingsCopy, CopiesTakenWhileCommandsStreamAreNeverTorn) {
  test::DiagCapture output;
  SessionSettings settings;
  CommandHandler handler(settings);
  const std::string as(3000, 'a');
  const std::string bs(5000, 'b');
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 400; ++i) {
      const std::string& v = (i % 2) ? as : bs;
      Command(handler, {"SetMetaData", "ReportJson", v});
      Command(handler, {"SetInfo", v});
      Command(handler, {"SetUserMetaData", "k" + std::to_string(i % 7), v.substr(0, 100)});
      Command(handler, {"AddFile", "f" + std::to_string(i), "d"});
      if (i % 3 == 0) Command(handler, {"RemoveFile", "f" + std::to_string(i)});
    }
    done = true;
  });
  int copies = 0;
  while (!done || copies < 3) {
    SessionSettings copy;
    settings.CopyTo(copy);
    ++copies;
    for (const std::string* text : {&copy.info, &copy.metadata["ReportJson"]}) {
      if (text->empty() || *text == "<not set>") continue;
      ASSERT_TRUE(*text == as || *text == bs) << "torn value of " << text->size() << " bytes";
    }
    for (const auto& [key, value] : copy.user_metadata) {
      ASSERT_EQ(value.size(), 100u);
      ASSERT_EQ(value.find_first_not_of(value[0]), std::string::npos);
    }
    for (const AttachedFile& file : copy.attached_files) ASSERT_EQ(file.description, "d");
  }
  writer.join();
  EXPECT_GE(copies, 3);
}

}  // namespace
}  // namespace nelko
