// The pipeline contains the failure of each of its steps: an allocation that
// fails in any one step writes a line, the engine is answered all the same, a
// report is cached whenever its own steps succeeded, and the next crash of
// the session is handled whole. The test plays the attach session: a test
// engine gets a crash data block written into its memory, and the pipeline
// runs in this process with one step failing.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "capture/capture_test_files_win.h"
#include "capture/process_crash_win.h"
#include "client/crash_data_block_win.h"
#include "client/protocol.h"
#include "tests/support/cached_reports_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/diag_capture.h"
#include "tests/support/time_scale.h"

namespace nelko {
namespace {

using test::TempFolder;

constexpr DWORD kLongWait = 90000;

class CountingDialog : public CrashDialog {
 public:
  bool Show(const wchar_t*, const wchar_t*, const wchar_t*) override { return ++shown, true; }
  bool Close() override { return ++closed, true; }
  bool IsOpen() override { return false; }
  void SetProgress(int32_t) override {}
  bool Finish() override { return true; }
  int shown = 0;
  int closed = 0;
};

CountingDialog g_dialog;
CrashDialog& Dialog() { return g_dialog; }

int g_launches = 0;
size_t g_launch_attachments = 0;
int Launch(const SessionSettings&, const AttachmentList& attachments, const std::string&) {
  ++g_launches;
  g_launch_attachments = attachments.size();
  return 1;
}

// The engine, with a crash data block the test wrote into its memory, and
// the session side of one crash.
class PipelineFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        engine_.Start(test::Quote(test::SiblingPath(L"test_engine.exe")) + L" --no-handler threads 0 hang"));
    ASSERT_TRUE(engine_.WaitForOutput("engine: 0 threads started", test::Scaled(kLongWait)));
    process_.reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, engine_.pid()));
    ASSERT_TRUE(process_.valid());
    const std::vector<ScopedHandle> threads = OpenEngineThreads(engine_.pid());
    ASSERT_FALSE(threads.empty());
    CrashDataBlock block = {};
    block.magic = kCrashBlockMagic;
    block.pid = engine_.pid();
    block.crashedThreadId = GetThreadId(threads[0].get());
    block.size = kCrashBlockSize;
    block.exceptionRecord.ExceptionCode = 0xE0004E4Bu;
    void* at =
        VirtualAllocEx(process_.get(), nullptr, sizeof(block), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(at, nullptr);
    ASSERT_TRUE(WriteProcessMemory(process_.get(), at, &block, sizeof(block), nullptr));
    address_ = reinterpret_cast<uintptr_t>(at);
    response_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(response_.valid());

    test::WriteTextFile(files_.path() + L"\\log.txt", "log");
    settings_.crash_report_path = WideToUtf8(crashes_.path());
    settings_.metadata["ReportJson"] = "{}";
    settings_.user_metadata["marker"] = marker_;
    settings_.attached_files.push_back({WideToUtf8(files_.path() + L"\\log.txt"), "log"});
    settings_.bug_reporter_command = "reporter";
  }
  void TearDown() override { engine_.Kill(); }

  // A run whose settings were not copied would make its folder under the
  // temporary folder: one below a file, so none is made.
  void HideTemporaryFolder(bool hide) {
    static constexpr const wchar_t* kVariables[2] = {L"TMP", L"TEMP"};
    const std::wstring below_a_file = files_.path() + L"\\log.txt\\temp";
    for (int i = 0; i < 2; ++i) {
      if (hide) {
        wchar_t value[MAX_PATH] = {};
        had_[i] = GetEnvironmentVariableW(kVariables[i], value, MAX_PATH) > 0;
        previous_[i] = value;
        SetEnvironmentVariableW(kVariables[i], below_a_file.c_str());
      } else {
        SetEnvironmentVariableW(kVariables[i], had_[i] ? previous_[i].c_str() : nullptr);
      }
    }
  }

  // Runs the pipeline with `steps` failing once each; what the run left.
  struct Outcome {
    int32_t result = 0;
    bool answered = false;
    size_t reports = 0;
    std::string report;
    std::string output;
  };
  Outcome Run(const std::vector<CrashStep>& steps) {
    CrashUserInterface user_interface;
    user_interface.dialog = &Dialog;
    user_interface.launch_bug_reporter = &Launch;
    CrashPipelineHooks hooks;
    hooks.fail_at = steps;
    test::DiagCapture output;
    Outcome outcome;
    HideTemporaryFolder(true);
    outcome.result = ProcessCrash(engine_.pid(), process_.get(), address_, settings_, false, false,
                                  response_.get(), user_interface, &hooks);
    HideTemporaryFolder(false);
    outcome.answered = WaitForSingleObject(response_.get(), 0) == WAIT_OBJECT_0;
    const std::vector<std::string> reports = test::TakeCachedReports(marker_);
    outcome.reports = reports.size();
    if (!reports.empty()) outcome.report = reports[0];
    outcome.output = output.Take();
    return outcome;
  }

  test::ChildProcess engine_;
  ScopedHandle process_;
  ScopedHandle response_;
  uintptr_t address_ = 0;
  SessionSettings settings_;
  TempFolder crashes_{L"failure"};
  TempFolder files_{L"failure-files"};
  std::string marker_ = test::Marker("pipeline-failure");
  bool had_[2] = {};
  std::wstring previous_[2];
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Steps fail together where they do not hide each other; a failed crash
// folder spares the runs the minidump, their slow part.
TEST_F(PipelineFailureTest, EachFailingStepWritesItsLineTheEngineIsAnsweredAndTheSessionGoesOn) {
  struct Case {
    std::vector<CrashStep> failing;
    std::vector<const char*> lines;
    bool cached;
  };
  const Case cases[] = {
      // Nothing copied: no report metadata, so no report, and no crash
      // report path, so the folder would go under the temporary folder,
      // which is below a file here.
      {{CrashStep::kSettingsCopy}, {"copy the session settings: std::bad_alloc"}, false},
      {{CrashStep::kCrashFolder, CrashStep::kReport, CrashStep::kWalkSetup},
       {"create the crash folder", "build the crash report", "set up the stack walk"},
       false},
      {{CrashStep::kThreadList, CrashStep::kCrashFolder, CrashStep::kWindow, CrashStep::kWalkSetup,
        CrashStep::kAttachments, CrashStep::kHash, CrashStep::kAnalyticsFile, CrashStep::kBugReporter,
        CrashStep::kWindowEnd},
       {"list the engine's threads", "create the crash folder", "show the crash window",
        "set up the stack walk", "copy an attached file into the crash folder", "compute the crash hash",
        "update the analytics crash file", "start the bug reporter", "close the crash window"},
       true},
      // Outside every step: the run ends there, the engine answered by the
      // release guard.
      {{CrashStep::kCrashFolder, CrashStep::kWalkSetup, CrashStep::kBetweenSteps},
       {"create the crash folder", "set up the stack walk", "finish handling the crash"},
       true},
      {{CrashStep::kMinidump, CrashStep::kThreadWalk, CrashStep::kCache},
       {"write the minidump", "walk a thread into the report", "cache the crash report"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("first failing step " + std::to_string(static_cast<int>(c.failing[0])));
    const Outcome outcome = Run(c.failing);
    EXPECT_EQ(outcome.result, kSessionKeepWatching);
    EXPECT_TRUE(outcome.answered) << outcome.output;
    EXPECT_EQ(Count(outcome.output, "Crash handler could not "), c.lines.size()) << outcome.output;
    for (const char* line : c.lines) {
      EXPECT_NE(outcome.output.find(std::string("Crash handler could not ") + line), std::string::npos)
          << line << "\n"
          << outcome.output;
    }
    EXPECT_EQ(outcome.reports, c.cached ? 1u : 0u) << outcome.output;
    if (c.failing.back() == CrashStep::kCache) {
      EXPECT_NE(outcome.output.find("Failed to cache crash report.\n"), std::string::npos) << outcome.output;
    }
  }

  // The session goes on: the next crash is handled whole.
  g_launches = 0;
  const Outcome whole = Run({});
  EXPECT_EQ(whole.result, kSessionKeepWatching);
  EXPECT_TRUE(whole.answered);
  EXPECT_EQ(Count(whole.output, "Crash handler could not "), 0u) << whole.output;
  ASSERT_EQ(whole.reports, 1u) << whole.output;
  EXPECT_NE(whole.report.find("\"native_crash\""), std::string::npos);
  EXPECT_EQ(g_launches, 1);
  EXPECT_EQ(g_launch_attachments, 2u) << "the dump and the copied file";
}

}  // namespace
}  // namespace nelko
