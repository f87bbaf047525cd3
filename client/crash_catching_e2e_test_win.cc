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

#include "base/scoped_handle_win.h"
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

// The sample game with its handler beside it. The game crashes only once the
// test has seen the handler take its last command and holds the handler's
// process, so that the handler's end can be awaited.
class SampleGame {
 public:
  // Runs the game to its end; false (output saying why) when it did not end.
  bool Run(const std::wstring& arguments, bool with_handler = true) {
    const std::wstring line = test::Quote(SamplePath()) + L" " + arguments + L" --go-on-input --wait-ms " +
                              std::to_wstring(test::Scaled(kLongWait));
    // In a job: the game, its handler and the handler's upload run all end
    // with this object.
    if (!game_.Start(line, /*in_job=*/true))
      return Fail("the sample game did not start (the sample_game target builds it)");
    if (with_handler) {
      if (!game_.WaitForOutput("'AddFile'", kLongWait))
        return Fail("the handler did not take the game's commands");
      const std::string so_far = game_.OutputSoFar();
      const size_t at = so_far.find("sample: handler pid ");
      if (at == std::string::npos) return Fail("the game did not say its handler's pid");
      handler_.reset(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(so_far.substr(at + 20)))));
    }
    game_.WriteInput("g");
    if (!game_.Wait(kLongWait)) return Fail("the game did not end");
    exit_code = game_.ExitCode();
    output = game_.Output();
    const std::string tag = "sample: thread ";
    for (size_t at = output.find(tag); at != std::string::npos; at = output.find(tag, at + 1)) {
      crashing_threads.push_back(static_cast<uint32_t>(std::stoul(output.substr(at + tag.size()))));
    }
    return true;
  }

  // The handler answers the game before it copies the attached files.
  bool WaitForHandler() {
    return handler_.valid() && WaitForSingleObject(handler_.get(), test::Scaled(kLongWait)) == WAIT_OBJECT_0;
  }

  // The line the crash path wrote, from "caught by" on; empty when none.
  std::string CaughtBy() const {
    const size_t at = output.find("nelko crash catching: ");
    if (at == std::string::npos) return {};
    const size_t by = output.find("caught by ", at);
    return output.substr(by, output.find('\n', by) - by);
  }

  uint32_t exit_code = 0;
  std::string output;
  std::vector<uint32_t> crashing_threads;  // as the game announced them

 private:
  bool Fail(const std::string& why) {
    output = why + "; output: " + game_.OutputSoFar();
    return false;
  }

  test::ChildProcess game_;
  ScopedHandle handler_;
};

// The cached report that names `thread`, taken out of the cache (so that no
// upload run sends it meanwhile); empty when none came. Another handler's
// upload run may hold a report file for a moment, so this looks again.
std::string TakeCachedReport(const std::vector<fs::path>& older, uint32_t thread) {
  const std::string name = "\"Thread " + std::to_string(thread) + "\"";
  const ULONGLONG deadline = GetTickCount64() + test::Scaled(10000);
  do {
    for (const fs::path& path : CachedReports()) {
      if (std::find(older.begin(), older.end(), path) != older.end()) continue;
      const std::string json = test::Gunzip(ReadFileBytes(path));
      if (!Contains(json, name)) continue;
      std::error_code error;
      fs::remove(path, error);
      fs::remove(fs::path(path).replace_extension(".meta"), error);  // x.json.gz -> x.json.meta
      return json;
    }
    Sleep(250);
  } while (GetTickCount64() < deadline);
  return {};
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Runs one crash kind and checks everything a crash must leave behind.
void ExpectCaughtCrash(const std::string& kind, uint32_t code, const std::string& caught_by,
                       size_t crashing_threads = 1) {
  Folder reports(kind);
  const std::vector<fs::path> older = CachedReports();
  SampleGame game;
  ASSERT_TRUE(game.Run(Widen(kind) + L" --reports " + test::Quote(reports.path().wstring()))) << game.output;
  EXPECT_EQ(game.exit_code, code) << std::hex << game.exit_code << "\n" << game.output;
  ASSERT_EQ(game.crashing_threads.size(), crashing_threads) << game.output;
  EXPECT_TRUE(Contains(game.CaughtBy(), caught_by)) << game.output;
  EXPECT_TRUE(Contains(game.CaughtBy(), "the handler answered after")) << game.output;

  // The dump, written before the handler answered: the exception on the
  // thread that crashed (for two at once, the one that came first).
  const std::vector<fs::path> folders = reports.SubFolders();
  ASSERT_EQ(folders.size(), 1u) << game.output;
  const test::Minidump dump = test::ParseMinidump(ReadFileBytes(folders[0] / "crash.dmp"));
  ASSERT_EQ(dump.error, "") << game.output;
  ASSERT_TRUE(dump.has_exception);
  EXPECT_EQ(dump.exception_code, code) << std::hex << dump.exception_code;
  const uint32_t crashed = dump.exception_thread_id;
  EXPECT_NE(std::find(game.crashing_threads.begin(), game.crashing_threads.end(), crashed),
            game.crashing_threads.end())
      << crashed << "\n"
      << game.output;
  EXPECT_TRUE(dump.HasThread(crashed));

  // The cached report, also made before the answer: the game's metadata and
  // log, and that thread, alone, marked crashed.
  const std::string json = TakeCachedReport(older, crashed);
  ASSERT_FALSE(json.empty()) << game.output;
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

  // The game's log, copied into the crash folder once the game was answered.
  ASSERT_TRUE(game.WaitForHandler()) << game.output;
  bool log_copied = false;
  for (const auto& entry : fs::directory_iterator(folders[0])) {
    log_copied |= entry.path().filename().string().rfind("sample_game_", 0) == 0;
  }
  EXPECT_TRUE(log_copied) << game.output;
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
  SampleGame game;
  ASSERT_TRUE(game.Run(L"abort --crash-before-start --reports " + test::Quote(reports.path().wstring()),
                       /*with_handler=*/false))
      << game.output;
  EXPECT_EQ(game.exit_code, kRuntimeAbortExitCode) << game.output;
  EXPECT_EQ(game.CaughtBy(), "") << game.output;
  EXPECT_FALSE(Contains(game.output, "Message payload")) << "no handler was started\n" << game.output;
}

TEST(SampleGame, ACrashAfterTheHandlerEndedEndsAsWithoutTheLibrary) {
  Folder reports("handler-gone");
  SampleGame aborted;
  ASSERT_TRUE(aborted.Run(L"abort --handler-gone --reports " + test::Quote(reports.path().wstring())))
      << aborted.output;
  EXPECT_EQ(aborted.exit_code, kRuntimeAbortExitCode) << aborted.output;
  EXPECT_EQ(aborted.CaughtBy(), "") << aborted.output;

  SampleGame faulted;
  ASSERT_TRUE(
      faulted.Run(L"access-violation --handler-gone --reports " + test::Quote(reports.path().wstring())))
      << faulted.output;
  EXPECT_EQ(faulted.exit_code, kAccessViolation) << faulted.output;
  EXPECT_EQ(faulted.CaughtBy(), "") << faulted.output;
  EXPECT_TRUE(reports.SubFolders().empty());
}

}  // namespace
}  // namespace nelko::client
