// End to end: the real handler processes crashes of the test engine, which
// reports real exceptions through the crash data block.
#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <windows.h>
#include <zlib.h>
#include <algorithm>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "capture/capture_test_files_win.h"
#include "client/crash_data_block_win.h"
#include "client/protocol.h"
#include "report/report_cache_win.h"
#include "report/sha256.h"
#include "tests/support/cached_reports_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/engine_session_win.h"
#include "tests/support/gunzip.h"
#include "tests/support/minidump_reader.h"
#include "tests/support/time_scale.h"

namespace nelko {
namespace {

using test::ChildProcess;
using test::FileExists;
using test::Marker;
using test::Quote;
using test::SiblingPath;
using test::SubFolders;
using test::TakeCachedReports;
using test::TempFolder;

constexpr DWORD kLongWait = 90000;
constexpr uint32_t kContinuableCode = 0xE0004E4Bu;
constexpr uint32_t kAccessViolation = 0xC0000005u;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

using test::EngineSession;

std::wstring CrashPathCommand(const TempFolder& crashes) {
  return L"send SetCrashReportPath 1 " + Quote(crashes.path()) + L" ";
}

test::Minidump ReadDump(const std::wstring& folder) {
  return test::ParseMinidump(test::ReadWholeFile(folder + L"\\crash.dmp"));
}

bool HasModule(const test::Minidump& dump, const std::string& name) {
  for (const auto& module : dump.modules) {
    if (Contains(module.name, name)) return true;
  }
  return false;
}

TEST(ProcessCrash, CrashesTheEngineSurvivesAreAnsweredTwiceThenTheSessionEndsCleanly) {
  TempFolder crashes(L"twice");
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"await fault 0 90000 fault 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'SetCrashReportPath'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_EQ(Count(out, "engine: crash response received"), 2u) << out;
  EXPECT_EQ(Count(out, "writing minidump"), 2u) << out;
  // Each crash has a folder of its own with its own dump.
  const auto folders = SubFolders(crashes.path());
  ASSERT_EQ(folders.size(), 2u) << out;
  const auto crashed = s.CrashedThreads();
  ASSERT_EQ(crashed.size(), 2u);
  for (const std::wstring& name : folders) {
    EXPECT_EQ(name.rfind(L"Crash_", 0), 0u);
    const test::Minidump dump = ReadDump(crashes.path() + L"\\" + name);
    ASSERT_EQ(dump.error, "") << WideToUtf8(name);
    ASSERT_TRUE(dump.has_exception);
    EXPECT_EQ(dump.exception_code, kContinuableCode);
    EXPECT_TRUE(dump.exception_thread_id == crashed[0] || dump.exception_thread_id == crashed[1]);
    EXPECT_TRUE(dump.HasThread(dump.exception_thread_id));
  }
}

TEST(ProcessCrash, AFatalCrashIsAnsweredAndTheEngineEndsWithTheExceptionCode) {
  TempFolder crashes(L"fatal");
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"await fault 1 90000")) << s.failure;
  ASSERT_TRUE(s.Continue("'SetCrashReportPath'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  ASSERT_TRUE(s.engine.Wait(kLongWait));
  EXPECT_EQ(s.engine.ExitCode(), kAccessViolation);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_TRUE(Contains(out, "engine: crash response received")) << out;

  // The dump is one of the engine, with the crash where it happened.
  const auto folders = SubFolders(crashes.path());
  ASSERT_EQ(folders.size(), 1u) << out;
  const test::Minidump dump = ReadDump(crashes.path() + L"\\" + folders[0]);
  ASSERT_EQ(dump.error, "");
  const auto crashed = s.CrashedThreads();
  ASSERT_EQ(crashed.size(), 1u);
  ASSERT_TRUE(dump.has_exception);
  EXPECT_EQ(dump.exception_thread_id, crashed[0]);
  EXPECT_EQ(dump.exception_code, kAccessViolation);
  EXPECT_TRUE(dump.HasThread(crashed[0]));
  EXPECT_GE(dump.thread_ids.size(), 2u);  // the main thread and the crasher at least
  EXPECT_TRUE(HasModule(dump, "test_engine.exe"));
  EXPECT_TRUE(HasModule(dump, "ntdll.dll") || HasModule(dump, "NTDLL.DLL"));
}

TEST(ProcessCrash, UnderTerminateAFatalCrashEndsTheEngineWithTheExceptionCodeUnanswered) {
  TempFolder crashes(L"terminate");
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"await fault 1 90000", L"--terminate")) << s.failure;
  ASSERT_TRUE(s.Continue("'SetCrashReportPath'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  ASSERT_TRUE(s.engine.Wait(kLongWait));
  EXPECT_EQ(s.engine.ExitCode(), kAccessViolation);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_FALSE(Contains(out, "engine: crash response received")) << out;
  EXPECT_EQ(SubFolders(crashes.path()).size(), 1u);
}

TEST(ProcessCrash, UnderTerminateACrashTheEngineSurvivesIsStillAnswered) {
  TempFolder crashes(L"terminate-survive");
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"await fault 0 90000 terminate hang", L"--terminate"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'SetCrashReportPath'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  EXPECT_TRUE(Contains(s.engine.OutputSoFar(), "engine: crash response received"));
  EXPECT_FALSE(s.engine.Wait(0)) << "the engine goes on";
}

// A corrupt block stops the pipeline before anything is made, and the
// engine is not answered.
TEST(ProcessCrash, ACorruptBlockEndsTheSessionWithMinus894AndNothingMade) {
  struct Case {
    const wchar_t* what;
    const char* message;
  };
  const Case cases[] = {
      {L"magic", "is corrupt: expected magic '0x4e656c6b6f434803' but got '0x4e656c6b6f4348fc'"},
      {L"size", "is corrupt: expected size "},
      {L"pid", "is corrupt: expected to agree on PID but got "},
      {L"magic-and-size", "is corrupt: expected magic "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.what));
    TempFolder crashes(L"corrupt");
    const std::string marker = Marker("corrupt");
    EngineSession s;
    ASSERT_TRUE(s.Start(CrashPathCommand(crashes) +
                        L"send SetMetaData 2 ReportJson {} send SetUserMetaData 2 marker " +
                        Utf8ToWide(marker) + L" await corrupt " + c.what + L" 500 hang"))
        << s.failure;
    ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
    EXPECT_EQ(s.HandlerResult(), -894);
    const std::string out = s.engine.OutputSoFar();
    EXPECT_TRUE(Contains(out, "Crash data sent by PID " + std::to_string(s.engine.pid()) + " " + c.message))
        << out;
    EXPECT_EQ(Count(out, "Crash data sent by PID"), 1u) << out;
    EXPECT_TRUE(s.engine.WaitForOutput("engine: no crash response", kLongWait)) << out;
    EXPECT_TRUE(SubFolders(crashes.path()).empty());
    EXPECT_FALSE(Contains(out, "writing minidump"));
    EXPECT_TRUE(TakeCachedReports(marker).empty());
  }
}

// A block whose header is right but whose middle is wild, as memory
// corruption in the engine leaves it: the dump library gets a record it
// cannot run past, and the crash is handled whole.
TEST(ProcessCrash, AWildExceptionRecordIsDumpedSafelyAndTheEngineAnswered) {
  for (const wchar_t* what : {L"parameters", L"record"}) {
    SCOPED_TRACE(WideToUtf8(what));
    TempFolder crashes(L"wild");
    const std::string marker = Marker("wild");
    EngineSession s;
    ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"send SetMetaData 2 ReportJson {} " +
                        L"send SetUserMetaData 2 marker " + Utf8ToWide(marker) + L" await corrupt " + what +
                        L" 90000"))
        << s.failure;
    ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
    EXPECT_EQ(s.HandlerResult(), 0);
    const std::string out = s.engine.OutputSoFar();
    EXPECT_TRUE(Contains(out, "engine: crash response received")) << out;
    const auto folders = SubFolders(crashes.path());
    ASSERT_EQ(folders.size(), 1u) << out;
    const test::Minidump dump = ReadDump(crashes.path() + L"\\" + folders[0]);
    ASSERT_EQ(dump.error, "") << out;
    ASSERT_TRUE(dump.has_exception);
    EXPECT_EQ(dump.exception_code, kAccessViolation);
    EXPECT_EQ(dump.exception_parameter_count, 15u);
    EXPECT_EQ(dump.exception_chain, 0u);
    EXPECT_EQ(TakeCachedReports(marker).size(), 1u) << out;
  }
}

// Here the test itself plays the engine, so that it can give the handler an
// address where nothing is mapped.
TEST(ProcessCrash, AnUnreadableBlockEndsTheSessionWithMinus895AndNothingMade) {
  TempFolder crashes(L"unreadable");
  const DWORD pid = GetCurrentProcessId();
  ScopedHandle events[3];
  const wchar_t* formats[3] = {kCrashEventNameFormat, kResponseEventNameFormat, kTerminationEventNameFormat};
  for (int i = 0; i < 3; ++i) {
    wchar_t name[kEventNameCapacity];
    swprintf(name, kEventNameCapacity, formats[i], static_cast<unsigned>(pid));
    events[i].reset(CreateEventW(nullptr, FALSE, FALSE, name));
    ASSERT_TRUE(events[i].valid());
  }
  ChildProcess handler;
  ASSERT_TRUE(handler.Start(Quote(SiblingPath(L"NelkoCrashHandler.exe")) + L" --attach " +
                            std::to_wstring(pid) + L" 16"));
  const std::string path = WideToUtf8(crashes.path());
  std::string message = "SetCrashReportPath";
  message.push_back('\0');
  message += path;
  message.push_back('\0');
  const uint32_t length = static_cast<uint32_t>(message.size());
  ASSERT_TRUE(handler.WriteInput(&length, 4));
  ASSERT_TRUE(handler.WriteInput(message));
  ASSERT_TRUE(handler.WaitForOutput("'SetCrashReportPath'", kLongWait));
  SetEvent(events[0].get());
  ASSERT_TRUE(handler.Wait(kLongWait));
  EXPECT_EQ(static_cast<int32_t>(handler.ExitCode()), -895);
  const std::string out = handler.Output();
  EXPECT_TRUE(Contains(out, "Failed to read PID " + std::to_string(pid) + "'s memory at ")) << out;
  EXPECT_TRUE(Contains(out, " (" + std::to_string(kCrashBlockSize) + " bytes)")) << out;
  EXPECT_EQ(WaitForSingleObject(events[1].get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "no response";
  EXPECT_TRUE(SubFolders(crashes.path()).empty());
}

TEST(ProcessCrash, AttachedFilesAreCopiedUnderFreeNamesAndFailuresAreReported) {
  // A dot in the crash folder's path must not take the counter of a name
  // without extension.
  TempFolder crashes(L"attach.dot");
  TempFolder source(L"attach-src");
  const std::wstring src = source.path();
  CreateDirectoryW((src + L"\\one").c_str(), nullptr);
  CreateDirectoryW((src + L"\\two").c_str(), nullptr);
  CreateDirectoryW((src + L"\\folder").c_str(), nullptr);
  test::WriteTextFile(src + L"\\a.txt", "first");
  test::WriteTextFile(src + L"\\one\\a.txt", "second");
  test::WriteTextFile(src + L"\\two\\a.txt", "third");
  test::WriteTextFile(src + L"\\b.txt", "slashes");
  test::WriteTextFile(src + L"\\one\\README", "readme one");
  test::WriteTextFile(src + L"\\two\\README", "readme two");
  std::wstring slashed = src + L"/b.txt";
  const std::string src8 = WideToUtf8(src);
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"send AddFile 2 " + Quote(src + L"\\a.txt") + L" d " +
                      L"send AddFile 2 " + Quote(src + L"\\missing.txt") + L" d " + L"send AddFile 2 " +
                      Quote(src + L"\\one\\a.txt") + L" d " + L"send AddFile 2 " + Quote(src + L"\\folder") +
                      L" d " + L"send AddFile 2 " + Quote(src + L"\\two\\a.txt") + L" d " +
                      L"send AddFile 2 " + Quote(slashed) + L" d send AddFile 2 " +
                      Quote(src + L"\\one\\README") + L" d send AddFile 2 " + Quote(src + L"\\two\\README") +
                      L" last await fault 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("' 'last'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_TRUE(Contains(out, "Failed to find file \"" + src8 + "\\missing.txt\"")) << out;
  EXPECT_TRUE(Contains(out, "Failed to find file \"" + src8 + "\\folder\"")) << out;
  EXPECT_FALSE(Contains(out, "Failed to copy")) << out;
  const auto folders = SubFolders(crashes.path());
  ASSERT_EQ(folders.size(), 1u);
  const std::wstring folder = crashes.path() + L"\\" + folders[0];
  EXPECT_EQ(test::ReadWholeFile(folder + L"\\a.txt"), "first");
  EXPECT_EQ(test::ReadWholeFile(folder + L"\\a001.txt"), "second");
  EXPECT_EQ(test::ReadWholeFile(folder + L"\\a002.txt"), "third");
  EXPECT_EQ(test::ReadWholeFile(folder + L"\\b.txt"), "slashes");
  EXPECT_EQ(test::ReadWholeFile(folder + L"\\README"), "readme one");
  EXPECT_EQ(test::ReadWholeFile(folder + L"\\README001"), "readme two");
  EXPECT_TRUE(FileExists(folder + L"\\crash.dmp"));
  EXPECT_FALSE(FileExists(folder + L"\\missing.txt"));
  EXPECT_FALSE(FileExists(folder + L"\\folder"));
}

// The report: one thread per engine thread, the crashed one marked, and
// what the engine sent during the session.
TEST(ProcessCrash, TheCachedReportHoldsEveryThreadTheLogAndTheUserMetadata) {
  TempFolder crashes(L"report");
  const std::string marker = Marker("report");
  EngineSession s;
  ASSERT_TRUE(s.Start(
      CrashPathCommand(crashes) + L"threads 16 send SetMetaData 2 ReportJson {\\\"name\\\":\\\"Game\\\"} " +
      L"send SetLogBufferSize 1 3 logs 5 send SetUserMetaData 2 level seven " +
      L"send SetUserMetaData 2 marker " + Utf8ToWide(marker) + L" await fault 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  ASSERT_TRUE(Contains(out, "engine: crash response received")) << out;
  const auto crashed = s.CrashedThreads();
  ASSERT_EQ(crashed.size(), 1u);
  const size_t count_at = out.find("engine: thread count ");
  ASSERT_NE(count_at, std::string::npos);
  const size_t engine_threads = std::stoul(out.substr(count_at + 21));
  EXPECT_GE(engine_threads, 18u);  // main, crasher and 16 idle threads

  const auto reports = TakeCachedReports(marker);
  ASSERT_EQ(reports.size(), 1u) << out;
  rapidjson::Document doc;
  doc.Parse(reports[0].c_str());
  ASSERT_FALSE(doc.HasParseError());
  EXPECT_STREQ(doc["name"].GetString(), "Game");
  const auto& threads = doc["native_crash"]["threads"];
  ASSERT_EQ(threads.Size(), engine_threads);
  size_t marked = 0;
  for (rapidjson::SizeType i = 0; i < threads.Size(); ++i) {
    EXPECT_EQ(threads[i]["number"].GetUint(), i);
    const std::string name = threads[i]["name"].GetString();
    const bool is_crasher = name == "Thread " + std::to_string(crashed[0]);
    EXPECT_EQ(threads[i]["crashed"].GetBool(), is_crasher) << name;
    marked += is_crasher;
  }
  EXPECT_EQ(marked, 1u);
  const auto& logs = doc["log_messages"];
  ASSERT_EQ(logs.Size(), 3u);
  EXPECT_TRUE(Contains(reports[0], "log message 2"));
  EXPECT_TRUE(Contains(reports[0], "log message 4"));
  EXPECT_FALSE(Contains(reports[0], "log message 1\""));
  EXPECT_TRUE(Contains(reports[0], "\"level\""));
  EXPECT_TRUE(Contains(reports[0], "\"seven\""));
}

// An editor without report metadata still gets a report of its threads.
// It says that it comes from the editor, as its crash hash does: the hash
// takes only the frames of modules under the application folder (the
// handler's path less three components: the build folder here, where the
// test engine lies, and not the system's folder).
TEST(ProcessCrash, AnEditorWithoutReportMetadataCachesABareEditorReportWhoseHashAgrees) {
  TempFolder crashes(L"editor");
  TempFolder files(L"editor-files");
  const std::wstring analytics = files.path() + L"\\analytics.json";
  test::WriteTextFile(analytics, R"({"msg":{"eventData":{"value":0}}})");
  // A bare report holds nothing of this run but its thread ids, and those come
  // back soon: only reports made since this test began count.
  const std::vector<std::wstring> older = ListCachedReports();
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"send SetAnalyticsCrashFilePath 1 " + Quote(analytics) +
                      L" send SetIsEditor 1 true await fault 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'SetIsEditor'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const auto crashed = s.CrashedThreads();
  ASSERT_EQ(crashed.size(), 1u);
  const auto reports =
      TakeCachedReports("\"name\":\"Thread " + std::to_string(crashed[0]) + "\",\"crashed\":true", older);
  ASSERT_EQ(reports.size(), 1u) << s.engine.OutputSoFar();
  rapidjson::Document doc;
  doc.Parse(reports[0].c_str());
  ASSERT_FALSE(doc.HasParseError());
  EXPECT_STREQ(doc["name"].GetString(), "");
  EXPECT_TRUE(doc["is_editor"].GetBool());
  EXPECT_GE(doc["native_crash"]["threads"].Size(), 2u);

  Sha256 expected;
  size_t outside = 0;
  for (const auto& thread : doc["native_crash"]["threads"].GetArray()) {
    if (!thread["crashed"].GetBool()) continue;
    for (const auto& frame : thread["frames"].GetArray()) {
      if (frame["managed"].GetBool()) continue;
      if (std::string(frame["image_name"].GetString()) != "test_engine") {
        ++outside;
        continue;
      }
      const uint64_t relative_pc = frame["relative_pc"].GetUint64();
      expected.Update(frame["image_uuid"].GetString());
      expected.Update(&relative_pc, sizeof(relative_pc));
      expected.Update(frame["pdb_name"].GetString());
    }
  }
  EXPECT_GT(outside, 0u) << "the crashed thread has frames outside the application folder";
  const Sha256::Digest digest = expected.Finish();
  rapidjson::Document file;
  file.Parse(test::ReadWholeFile(analytics).c_str());
  ASSERT_FALSE(file.HasParseError());
  ASSERT_TRUE(file["msg"]["eventData"]["value"].IsString());
  EXPECT_EQ(std::string(file["msg"]["eventData"]["value"].GetString()),
            DigestToHex(digest.data(), digest.size()));
}

// Without report metadata and without the editor flag no report is made,
// and the files are still copied.
TEST(ProcessCrash, WithoutReportMetadataNoThreadIsWalkedButFilesAreCopied) {
  TempFolder crashes(L"no-report");
  TempFolder source(L"no-report-src");
  test::WriteTextFile(source.path() + L"\\log.txt", "log");
  // Thread ids come back soon, so only reports made since this test began count.
  const std::vector<std::wstring> older = ListCachedReports();
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"send AddFile 2 " + Quote(source.path() + L"\\log.txt") +
                      L" last await fault 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("' 'last'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const auto crashed = s.CrashedThreads();
  ASSERT_EQ(crashed.size(), 1u);
  EXPECT_TRUE(
      TakeCachedReports("\"name\":\"Thread " + std::to_string(crashed[0]) + "\",\"crashed\":true", older)
          .empty());
  const auto folders = SubFolders(crashes.path());
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(test::ReadWholeFile(crashes.path() + L"\\" + folders[0] + L"\\log.txt"), "log");
}

// An engine writes its last words and crashes at once, without waiting for
// the handler to have read them: the log lines, the file and the metadata
// it sent last are in the report, the crash folder and the bug reporter's
// line all the same.
TEST(ProcessCrash, WhatTheEngineSentJustBeforeTheCrashIsInTheReportTheFilesAndTheBugReporterLine) {
  TempFolder crashes(L"last-words");
  TempFolder source(L"last-words-src");
  TempFolder records(L"last-words-out");
  test::WriteTextFile(source.path() + L"\\last.txt", "last");
  const std::wstring record = records.path() + L"\\args.txt";
  const std::wstring reporter = Quote(SiblingPath(L"args_recorder_probe.exe")) + L" --out " + Quote(record) +
                                L" --level <meta:level> <attachFile:--file \"<file>\">";
  const std::string marker = Marker("last-words");
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"send SetMetaData 2 ReportJson {} " +
                      L"send SetShowDialog 1 false send SetBugReporterAppPath 1 " +
                      test::EngineArgument(reporter) + L" await send SetLogBufferSize 1 50 logs 200 " +
                      L"send AddFile 2 " + Quote(source.path() + L"\\last.txt") + L" d " +
                      L"send SetMetaData 2 level final send SetUserMetaData 2 marker " + Utf8ToWide(marker) +
                      L" crash 1 90000"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'SetBugReporterAppPath'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 1);
  const std::string out = s.engine.OutputSoFar();

  const auto reports = TakeCachedReports(marker);
  ASSERT_EQ(reports.size(), 1u) << out;
  rapidjson::Document doc;
  doc.Parse(reports[0].c_str());
  ASSERT_FALSE(doc.HasParseError());
  const auto& logs = doc["log_messages"];
  ASSERT_EQ(logs.Size(), 50u) << out;
  for (rapidjson::SizeType i = 0; i < logs.Size(); ++i) {
    EXPECT_EQ(std::string(logs[i]["message"].GetString()), "log message " + std::to_string(150 + i));
  }

  const auto folders = SubFolders(crashes.path());
  ASSERT_EQ(folders.size(), 1u) << out;
  const std::string folder = WideToUtf8(crashes.path() + L"\\" + folders[0]);
  EXPECT_EQ(test::ReadWholeFile(Utf8ToWide(folder) + L"\\last.txt"), "last");
  const std::vector<std::string> expected = {
      "--out",  WideToUtf8(record),    "--level", "final", "--file", folder + "\\crash.dmp",
      "--file", folder + "\\last.txt", "end"};
  EXPECT_EQ(test::ReadArgsRecord(record, test::Scaled(kLongWait)), expected) << out;
}

// The engine's environment, inherited by the handler it starts, for as
// long as the object lives.
class EngineEnvironment {
 public:
  EngineEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t previous[32768];
    had_ = GetEnvironmentVariableW(name, previous, 32768) > 0;
    previous_ = previous;
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~EngineEnvironment() { SetEnvironmentVariableW(name_, had_ ? previous_.c_str() : nullptr); }

 private:
  const wchar_t* name_;
  bool had_ = false;
  std::wstring previous_;
};

// A runtime that fails to read the engine's memory ends the walk of that
// thread only: the thread keeps the frames walked so far, and says so.
TEST(ProcessCrash, AWalkEndedByTheManagedRuntimeIsReportedAndKeepsItsFrames) {
  TempFolder crashes(L"walk-exception");
  const std::string marker = Marker("walk-exception");
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) + L"park 1 0 0 send SetMonoPath 1 " +
                      Quote(SiblingPath(L"managed_runtime_stub.dll")) +
                      L" send SetMetaData 2 ReportJson {} " + L"send SetUserMetaData 2 marker " +
                      Utf8ToWide(marker) + L" await fault 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  const size_t at = out.find("engine: parked fail ");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string failing = std::to_string(std::stoul(out.substr(at + 20)));
  EXPECT_TRUE(Contains(out, "Exception encountered during stack walk of thread " + failing + "\r\n")) << out;

  const auto reports = TakeCachedReports(marker);
  ASSERT_EQ(reports.size(), 1u) << out;
  rapidjson::Document doc;
  doc.Parse(reports[0].c_str());
  ASSERT_FALSE(doc.HasParseError());
  bool found = false;
  for (const auto& thread : doc["native_crash"]["threads"].GetArray()) {
    if (std::string(thread["name"].GetString()) != "Thread " + failing) continue;
    found = true;
    EXPECT_GT(thread["frames"].Size(), 0u) << "the frames before the failing one stay";
  }
  EXPECT_TRUE(found) << out;
}

// Where the crash folder cannot be made, it goes under the temporary
// folder; where neither can be made, the message names the temporary one,
// the dump fails, and each attached file reaches the bug reporter as sent.
// A crash the engine survives keeps the session watching (-890) even though
// it started a bug reporter: the session ends with the later termination.
TEST(ProcessCrash, ACrashFolderThatCannotBeMadeFallsBackToTheTemporaryFolderAndElseIsReported) {
  TempFolder crashes(L"no-folder");
  TempFolder temp(L"no-folder-temp");
  TempFolder files(L"no-folder-files");
  TempFolder records(L"no-folder-out");
  test::WriteTextFile(files.path() + L"\\block", "a file where a folder is wanted");
  test::WriteTextFile(files.path() + L"\\player.log", "log");
  const std::wstring below_a_file = files.path() + L"\\block\\below";
  const std::wstring record = records.path() + L"\\args.txt";
  const std::wstring reporter = Quote(SiblingPath(L"args_recorder_probe.exe")) + L" --out " + Quote(record) +
                                L" <attachFile:--file \"<file>\">";
  for (const bool temp_usable : {true, false}) {
    SCOPED_TRACE(temp_usable ? "temporary folder usable" : "temporary folder below a file");
    DeleteFileW(record.c_str());
    EngineEnvironment tmp(L"TMP", temp_usable ? temp.path() : below_a_file);
    EngineEnvironment temp_variable(L"TEMP", temp_usable ? temp.path() : below_a_file);
    EngineSession s;
    ASSERT_TRUE(s.Start(L"send SetCrashReportPath 1 " + Quote(below_a_file) +
                        L" send SetShowDialog 1 false " + L"send AddFile 2 " +
                        Quote(files.path() + L"\\player.log") + L" d " + L"send SetBugReporterAppPath 1 " +
                        test::EngineArgument(reporter) + L" await fault 0 90000 terminate hang"))
        << s.failure;
    ASSERT_TRUE(s.Continue("'SetBugReporterAppPath'")) << s.failure;
    EXPECT_EQ(s.HandlerResult(), 0) << "a non-fatal crash keeps the session watching";
    const std::string out = s.engine.OutputSoFar();
    const std::vector<std::string> lines = test::ReadArgsRecord(record, test::Scaled(kLongWait));
    if (temp_usable) {
      ASSERT_EQ(lines.size(), 7u) << out;
      EXPECT_FALSE(Contains(out, "Couldn't create crash dump directory")) << out;
      const auto folders = SubFolders(temp.path());
      ASSERT_EQ(folders.size(), 1u) << out;
      const std::string folder = WideToUtf8(temp.path() + L"\\" + folders[0]);
      EXPECT_EQ(lines[3], folder + "\\crash.dmp");
      EXPECT_EQ(lines[5], folder + "\\player.log");
    } else {
      const std::string temp_folder = WideToUtf8(below_a_file) + "\\Crash_";
      EXPECT_TRUE(Contains(out, "Couldn't create crash dump directory: " + temp_folder)) << out;
      EXPECT_TRUE(Contains(out, "Failed to generate minidump at '" + temp_folder)) << out;
      const std::string source = WideToUtf8(files.path() + L"\\player.log");
      EXPECT_TRUE(
          Contains(out, "Failed to copy \"" + source + "\" to crash report folder at \"" + temp_folder))
          << out;
      const std::vector<std::string> expected = {"--out", WideToUtf8(record), "--file", source, "end"};
      EXPECT_EQ(lines, expected) << out;
    }
  }
}

// The reader thread goes on applying commands while the crash is processed;
// the report is made from one consistent copy of the settings.
TEST(ProcessCrash, CommandsStreamingDuringACrashLeaveTheReportWhole) {
  TempFolder crashes(L"stream");
  const std::string marker = Marker("stream");
  EngineSession s;
  ASSERT_TRUE(s.Start(CrashPathCommand(crashes) +
                      L"send SetMetaData 2 ReportJson {} send SetLogBufferSize 1 50 " +
                      L"send SetUserMetaData 2 marker " + Utf8ToWide(marker) +
                      L" await stream 300 await fault 0 90000 stream-join terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'marker'")) << s.failure;
  // The crash comes once the handler has taken the second round of the stream
  // (its value of 'a's), so the first round's value and log message are in the
  // settings and the report has some of the stream to show, while the rest of
  // it keeps coming during the crash.
  ASSERT_TRUE(s.Continue("'stream' '" + std::string(1000, 'a') + "' ")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  ASSERT_TRUE(Contains(s.engine.OutputSoFar(), "engine: crash response received"));
  const auto reports = TakeCachedReports(marker);
  ASSERT_EQ(reports.size(), 1u);
  rapidjson::Document doc;
  doc.Parse(reports[0].c_str());
  ASSERT_FALSE(doc.HasParseError());
  // A torn copy would show a value or message that mixes two rounds.
  int streamed_values = 0;
  for (const auto& entry : doc["user_metadata"].GetArray()) {
    if (std::string(entry["key"].GetString()) != "stream") continue;
    const std::string value = entry["value"].GetString();
    ASSERT_EQ(value.size(), 1000u);
    EXPECT_EQ(value.find_first_not_of(value[0]), std::string::npos);
    ++streamed_values;
  }
  EXPECT_EQ(streamed_values, 1);
  int streamed_messages = 0;
  for (const auto& log : doc["log_messages"].GetArray()) {
    const std::string message = log["message"].GetString();
    ASSERT_EQ(message.size(), 900u);
    EXPECT_EQ(message.find_first_not_of(message[0]), std::string::npos);
    ++streamed_messages;
  }
  EXPECT_GE(streamed_messages, 1);
}

}  // namespace
}  // namespace nelko
