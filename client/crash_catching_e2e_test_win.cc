// End to end: the sample game (examples/), built against the installed
// package, crashes in each way it knows under the real handler. Each crash
// must give a crash folder, a dump whose exception is the crashing thread's,
// a cached report marking that thread, and the crash's code as the game's
// exit code.
#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/crash_catching_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/gunzip.h"
#include "tests/support/minidump_reader.h"
#include "tests/support/time_scale.h"

namespace nelko::client {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kLongWait = 90000;
constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kStackOverflow = 0xC00000FD;
// What the C runtime's abort() ends a process with.
constexpr uint32_t kRuntimeAbortExitCode = 3;

constexpr const char* kByFilter = "caught by the unhandled-exception filter;";
constexpr const char* kByVectoredHandler = "caught by the vectored exception handler;";

// Built by the package test (cmake/TestPackage.cmake), the handler beside it.
std::wstring SamplePath() { return test::SiblingPath(L"..\\sample_game\\sample_game.exe"); }

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The handler's per-user report cache.
fs::path ReportCache() {
  // FOLDERID_LocalAppDataLow, spelled out so no GUID library is needed.
  static const GUID kLocalAppDataLow = {
      0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
  PWSTR path = nullptr;
  fs::path folder;
  if (SUCCEEDED(SHGetKnownFolderPath(kLocalAppDataLow, 0, nullptr, &path))) folder = fs::path(path);
  CoTaskMemFree(path);
  return folder / L"Nelko" / L"CrashReports";
}

std::vector<fs::path> CachedReports() {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(ReportCache(), error)) {
    const std::wstring name = entry.path().filename().wstring();
    if (name.size() > 8 && name.compare(name.size() - 8, 8, L".json.gz") == 0) found.push_back(entry.path());
  }
  return found;
}

// A folder of the test's own under the temporary folder, removed afterwards.
class Folder {
 public:
  explicit Folder(const std::string& tag) {
    static int counter = 0;
    path_ = fs::temp_directory_path() / ("nelko-sample-" + tag + "-" + std::to_string(GetCurrentProcessId()) +
                                         "-" + std::to_string(++counter));
    std::error_code error;
    fs::remove_all(path_, error);
    fs::create_directories(path_, error);
  }
  ~Folder() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  const fs::path& path() const { return path_; }
  std::vector<fs::path> SubFolders() const {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(path_, error)) {
      if (entry.is_directory()) found.push_back(entry.path());
    }
    return found;
  }

 private:
  fs::path path_;
};

// One run of the sample game through a crash.
struct GameRun {
  bool ended = false;
  uint32_t exit_code = 0;
  std::string output;
  std::vector<uint32_t> crashing_threads;  // as the game announced them

  // The line the crash path wrote, from "caught by" on; empty when none.
  std::string CaughtBy() const {
    const size_t at = output.find("nelko crash catching: ");
    if (at == std::string::npos) return {};
    const size_t by = output.find("caught by ", at);
    return output.substr(by, output.find('\n', by) - by);
  }
};

// Starts the game, lets it crash once the handler has taken its last
// command (the game waits for that), and waits for its end.
GameRun RunGame(const std::wstring& arguments, bool wait_for_handler = true) {
  GameRun run;
  test::ChildProcess game;
  const std::wstring line = test::Quote(SamplePath()) + L" " + arguments + L" --go-on-input --wait-ms " +
                            std::to_wstring(test::Scaled(kLongWait));
  if (!game.Start(line, /*in_job=*/true)) return run;
  if (wait_for_handler) game.WaitForOutput("'AddFile'", kLongWait);
  game.WriteInput("g");
  run.ended = game.Wait(kLongWait);
  run.exit_code = game.ExitCode();
  run.output = game.Output();
  const std::string tag = "sample: thread ";
  for (size_t at = run.output.find(tag); at != std::string::npos; at = run.output.find(tag, at + 1)) {
    run.crashing_threads.push_back(static_cast<uint32_t>(std::stoul(run.output.substr(at + tag.size()))));
  }
  return run;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Runs one crash kind and checks everything a crash must leave behind.
void ExpectCaughtCrash(const std::string& kind, uint32_t code, const std::string& caught_by,
                       size_t crashing_threads = 1) {
  Folder reports(kind);
  const std::vector<fs::path> older = CachedReports();
  const GameRun run = RunGame(Widen(kind) + L" --reports " + test::Quote(reports.path().wstring()));
  ASSERT_TRUE(run.ended) << run.output;
  EXPECT_EQ(run.exit_code, code) << std::hex << run.exit_code << "\n" << run.output;
  ASSERT_EQ(run.crashing_threads.size(), crashing_threads) << run.output;
  EXPECT_TRUE(Contains(run.CaughtBy(), caught_by)) << run.output;
  EXPECT_TRUE(Contains(run.CaughtBy(), "the handler answered after")) << run.output;

  // The crash folder: the dump, with the exception on the thread that
  // crashed (for two at once, the one that came first), and the game's log.
  const std::vector<fs::path> folders = reports.SubFolders();
  ASSERT_EQ(folders.size(), 1u) << run.output;
  const test::Minidump dump = test::ParseMinidump(ReadFileBytes(folders[0] / "crash.dmp"));
  ASSERT_EQ(dump.error, "") << run.output;
  ASSERT_TRUE(dump.has_exception);
  EXPECT_EQ(dump.exception_code, code) << std::hex << dump.exception_code;
  const uint32_t crashed = dump.exception_thread_id;
  EXPECT_NE(std::find(run.crashing_threads.begin(), run.crashing_threads.end(), crashed),
            run.crashing_threads.end())
      << crashed << "\n"
      << run.output;
  EXPECT_TRUE(dump.HasThread(crashed));
  bool log_copied = false;
  for (const auto& entry : fs::directory_iterator(folders[0])) {
    log_copied |= entry.path().filename().string().rfind("sample_game_", 0) == 0;
  }
  EXPECT_TRUE(log_copied) << run.output;

  // The cached report: the game's metadata, and that thread marked crashed.
  int reports_found = 0;
  for (const fs::path& path : CachedReports()) {
    if (std::find(older.begin(), older.end(), path) != older.end()) continue;
    const std::string json = test::Gunzip(ReadFileBytes(path));
    if (!Contains(json, "\"Thread " + std::to_string(crashed) + "\"")) continue;
    std::error_code error;
    fs::remove(path, error);
    fs::remove(fs::path(path).replace_extension(".meta"), error);  // x.json.gz -> x.json.meta
    ++reports_found;
    rapidjson::Document report;
    report.Parse(json.c_str());
    ASSERT_FALSE(report.HasParseError());
    EXPECT_STREQ(report["appid"].GetString(), "sample-game");
    EXPECT_STREQ(report["version"].GetString(), "1.0.0");
    EXPECT_TRUE(Contains(json, "Level 'Meadow' loaded"));
    const auto& threads = report["native_crash"]["threads"];
    int marked = 0;
    for (rapidjson::SizeType i = 0; i < threads.Size(); ++i) {
      const bool is_crashed =
          std::string(threads[i]["name"].GetString()) == "Thread " + std::to_string(crashed);
      EXPECT_EQ(threads[i]["crashed"].GetBool(), is_crashed) << threads[i]["name"].GetString();
      marked += is_crashed;
    }
    EXPECT_EQ(marked, 1);
  }
  EXPECT_EQ(reports_found, 1) << run.output;
}

TEST(SampleGame, AnAccessViolationIsCaughtByTheUnhandledExceptionFilter) {
  ExpectCaughtCrash("access-violation", kAccessViolation, kByFilter);
}

TEST(SampleGame, AStackOverflowIsCaughtAtFirstChanceAndReportedFromAnotherThread) {
  ExpectCaughtCrash("stack-overflow", kStackOverflow, kByVectoredHandler);
}

TEST(SampleGame, AbortIsCaughtThroughSigabrt) {
  ExpectCaughtCrash("abort", kAbortExceptionCode, "caught by SIGABRT;");
}

TEST(SampleGame, APureVirtualCallOfGccCodeIsCaught) {
  ExpectCaughtCrash("pure-virtual", kPureCallExceptionCode, "caught by a pure virtual call;");
}

TEST(SampleGame, APureCallOfAUniversalRuntimeModuleIsCaughtByItsPureCallHandler) {
  ExpectCaughtCrash("ucrt-pure-call", kPureCallExceptionCode, "caught by the pure-call handler;");
}

TEST(SampleGame, AnInvalidParameterToTheUniversalRuntimeIsCaughtByItsHandler) {
  ExpectCaughtCrash("ucrt-invalid-parameter", kInvalidParameterExceptionCode,
                    "caught by the invalid-parameter handler;");
}

TEST(SampleGame, AnUncaughtCppExceptionIsCaughtByStdTerminate) {
  ExpectCaughtCrash("uncaught-exception", kTerminateExceptionCode,
                    "caught by std::terminate (an uncaught C++ exception);");
}

// 64-bit processes take it at first chance: the system cannot be relied on to
// dispatch through code without unwind data. 32-bit ones dispatch along the
// stack's handler chain, so the filter sees it.
TEST(SampleGame, AFaultInGeneratedCodeWithoutUnwindDataIsCaught) {
  ExpectCaughtCrash("generated-code", kAccessViolation, sizeof(void*) == 8 ? kByVectoredHandler : kByFilter);
}

TEST(SampleGame, ACrashOnASecondThreadReportsThatThread) {
  ExpectCaughtCrash("second-thread", kAccessViolation, kByFilter);
}

// The second crash waits for the first: one folder, one report, one crashed
// thread, nothing torn.
TEST(SampleGame, TwoCrashesAtOnceGiveOneWholeReportOfTheFirst) {
  ExpectCaughtCrash("two-at-once", kAccessViolation, kByFilter, /*crashing_threads=*/2);
}

// Without a handler the crash goes on as without the library: the runtime's
// abort() ends the game with 3, and nothing waits for an answer.
TEST(SampleGame, ACrashBeforeTheHandlerStartedEndsAsWithoutTheLibrary) {
  Folder reports("before-start");
  const GameRun run =
      RunGame(L"abort --crash-before-start --reports " + test::Quote(reports.path().wstring()),
              /*wait_for_handler=*/false);
  ASSERT_TRUE(run.ended) << run.output;
  EXPECT_EQ(run.exit_code, kRuntimeAbortExitCode) << run.output;
  EXPECT_EQ(run.CaughtBy(), "") << run.output;
  EXPECT_FALSE(Contains(run.output, "Message payload")) << "no handler was started\n" << run.output;
}

TEST(SampleGame, ACrashAfterTheHandlerEndedEndsAsWithoutTheLibrary) {
  Folder reports("handler-gone");
  const GameRun aborted = RunGame(L"abort --handler-gone --reports " + test::Quote(reports.path().wstring()));
  ASSERT_TRUE(aborted.ended) << aborted.output;
  EXPECT_EQ(aborted.exit_code, kRuntimeAbortExitCode) << aborted.output;
  EXPECT_EQ(aborted.CaughtBy(), "") << aborted.output;

  const GameRun faulted =
      RunGame(L"access-violation --handler-gone --reports " + test::Quote(reports.path().wstring()));
  ASSERT_TRUE(faulted.ended) << faulted.output;
  EXPECT_EQ(faulted.exit_code, kAccessViolation) << faulted.output;
  EXPECT_EQ(faulted.CaughtBy(), "") << faulted.output;
  EXPECT_TRUE(reports.SubFolders().empty());
}

}  // namespace
}  // namespace nelko::client
