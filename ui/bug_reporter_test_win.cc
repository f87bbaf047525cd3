#include "ui/bug_reporter_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text_win.h"
#include "capture/capture_test_files_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/diag_capture.h"
#include "tests/support/time_scale.h"

namespace nelko {
namespace {

constexpr DWORD kRecordTimeoutMs = 30000;

// A file name in the temporary folder, unique to this test process.
std::wstring TempPath(const std::wstring& name) {
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + L"nelko_ui_" + std::to_wstring(GetCurrentProcessId()) + L"_" + name;
}

// The lines the stand-in bug reporter wrote, once it has written them all.
std::vector<std::string> ReadRecord(const std::wstring& path) {
  std::vector<std::string> lines = test::ReadArgsRecord(path, test::Scaled(kRecordTimeoutMs));
  DeleteFileW(path.c_str());
  return lines;
}

class BugReporterTest : public ::testing::Test {
 protected:
  test::DiagCapture output_;
  SessionSettings settings_;
};

TEST_F(BugReporterTest, TheReporterReceivesExactlyTheExpandedArguments) {
  const std::wstring record = TempPath(L"args.txt");
  const std::string recorder = WideToUtf8(test::SiblingPath(L"args_recorder_probe.exe"));
  settings_.bug_reporter_command = "\"" + recorder +
                                   "\" --out \"<meta:out>\" --app \"<appName>\" --version <version> "
                                   "--hash <crashReportHash> <attachFile:--file \"<file>\">";
  settings_.metadata = {{"out", WideToUtf8(record)}};
  settings_.app_name = "Spiel \xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0";  // "Spiel ゲーム"
  settings_.info = "1.2.3";
  const std::string hash(64, 'c');
  const AttachmentList files = {L"C:\\r\\Crash_1\\crash.dmp", L"C:\\r\\Crash_1\\player log.txt",
                                L"C:\\logs\\\u00e9t\u00e9.txt"};

  EXPECT_EQ(LaunchBugReporter(settings_, files, hash), 1);

  const std::vector<std::string> expected = {"--out",     WideToUtf8(record),
                                             "--app",     settings_.app_name,
                                             "--version", "1.2.3",
                                             "--hash",    hash,
                                             "--file",    "C:\\r\\Crash_1\\crash.dmp",
                                             "--file",    "C:\\r\\Crash_1\\player log.txt",
                                             "--file",    "C:\\logs\\\xC3\xA9t\xC3\xA9.txt",
                                             "end"};
  EXPECT_EQ(ReadRecord(record), expected);
  EXPECT_EQ(output_.Take(),
            "Launching custom bug reporter with command line:\n  \"" + recorder + "\" --out \"" +
                WideToUtf8(record) + "\" --app \"" + settings_.app_name + "\" --version 1.2.3 --hash " +
                hash +
                " --file \"C:\\r\\Crash_1\\crash.dmp\" --file \"C:\\r\\Crash_1\\player log.txt\" "
                "--file \"C:\\logs\\\xC3\xA9t\xC3\xA9.txt\"\n");
}

TEST_F(BugReporterTest, WithoutFilesTheAttachedFileTokenIsRemoved) {
  const std::wstring record = TempPath(L"no_files.txt");
  settings_.bug_reporter_command = "\"" + WideToUtf8(test::SiblingPath(L"args_recorder_probe.exe")) +
                                   "\" --out \"" + WideToUtf8(record) + "\" <attachFile:--file <file>>";
  EXPECT_EQ(LaunchBugReporter(settings_, {}, ""), 1);
  const std::vector<std::string> expected = {"--out", WideToUtf8(record), "end"};
  EXPECT_EQ(ReadRecord(record), expected);
}

TEST_F(BugReporterTest, AnEmptyTemplateStartsNothingAndPrintsNothing) {
  EXPECT_EQ(LaunchBugReporter(settings_, {L"C:\\crash.dmp"}, std::string(64, 'a')), 0);
  EXPECT_EQ(output_.Take(), "");
}

TEST_F(BugReporterTest, AFailedStartNamesTheTemplateAsSent) {
  settings_.bug_reporter_command = "Z:/no/such/folder/<appName>.exe --x";
  settings_.app_name = "reporter";
  EXPECT_EQ(LaunchBugReporter(settings_, {}, ""), 0);
  EXPECT_EQ(output_.Take(),
            "Launching custom bug reporter with command line:\n"
            "  Z:/no/such/folder/reporter.exe --x\n"
            "Failed to launch bug reporter: \"Z:/no/such/folder/<appName>.exe --x\"");
}

TEST_F(BugReporterTest, TheReporterIsStartedWithItsWindowShown) {
  const std::wstring record = TempPath(L"shown.txt");
  const std::wstring startup = TempPath(L"startup.txt");
  settings_.bug_reporter_command = "\"" + WideToUtf8(test::SiblingPath(L"args_recorder_probe.exe")) +
                                   "\" --out \"" + WideToUtf8(record) + "\" --startup \"" +
                                   WideToUtf8(startup) + "\"";
  EXPECT_EQ(LaunchBugReporter(settings_, {}, ""), 1);
  // The start-up record is written before the argument record appears.
  ASSERT_EQ(ReadRecord(record).size(), 5u);
  EXPECT_EQ(test::ReadWholeFile(startup),
            "flags " + std::to_string(STARTF_USESHOWWINDOW) + " show " + std::to_string(SW_SHOW) + "\n");
  DeleteFileW(startup.c_str());
}

// A command line holds at most 32767 UTF-16 units; a longer one is never
// built whole nor handed to the system.
TEST_F(BugReporterTest, ACommandLineLongerThanTheSystemTakesLaunchesNothing) {
  settings_.bug_reporter_command = "\"" + WideToUtf8(test::SiblingPath(L"args_recorder_probe.exe")) +
                                   "\" --out \"" + WideToUtf8(TempPath(L"too_long.txt")) + "\" <appName>";
  settings_.app_name = std::string(40000, 'n');
  EXPECT_EQ(LaunchBugReporter(settings_, {}, ""), 0);
  EXPECT_EQ(output_.Take(),
            "Bug reporter not launched: its command line would be longer than 32767 characters\n");
  // Many copies of a large value are refused before they are built.
  settings_.bug_reporter_command = "r.exe";
  for (int i = 0; i < 2000; ++i) settings_.bug_reporter_command += " <appName>";
  settings_.app_name = std::string(1 << 20, 'n');
  EXPECT_EQ(LaunchBugReporter(settings_, {L"C:\\crash.dmp"}, ""), 0);
  EXPECT_EQ(output_.Take(),
            "Bug reporter not launched: its command line would be longer than 32767 characters\n");
}

TEST_F(BugReporterTest, TheCommandLineIsConvertedFromUtf8) {
  settings_.metadata = {{"user", "J\xC3\xBCrgen"}};
  settings_.vendor = "\xE4\xBC\x9A\xE7\xA4\xBE";
  EXPECT_EQ(BuildBugReporterCommandLine("r.exe <meta:user> <vendor> <attachFile:<file>>", settings_,
                                        {L"C:\\\u00fc.dmp"}, ""),
            L"r.exe J\u00fcrgen \u4f1a\u793e C:\\\u00fc.dmp");
  EXPECT_EQ(output_.Take(), "");
}

TEST_F(BugReporterTest, TheTemplateIsReadFromTheArgumentNotTheSettings) {
  settings_.bug_reporter_command = "ignored <appName>";
  settings_.app_name = "Game";
  EXPECT_EQ(BuildBugReporterCommandLine("used <appName>", settings_, {}, ""), L"used Game");
}

}  // namespace
}  // namespace nelko
