// End to end: managed frames through the real handler. The test engine
// points the handler at the stand-in runtime (SetMonoPath), parks threads in
// known call chains and crashes with the runtime's context in the block;
// the cached report shows what the walk made of each thread.
#include <windows.h>

#include <rapidjson/document.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text_win.h"
#include "capture/capture_test_files_win.h"
#include "report/report_cache_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/engine_session_win.h"
#include "tests/support/gunzip.h"

namespace nelko {
namespace {

using test::EngineSession;
using test::Quote;
using test::SiblingPath;
using test::TempFolder;

constexpr char kChainsModule[] = "test_engine_chains";
constexpr char kEmptyStreamHash[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// What the engine's park step printed: the library's base and, per thread,
// its kind, id and the return addresses (relative to the library) into
// ChainInner's caller and the two levels above it.
struct Parked {
  std::string kind;
  unsigned long id = 0;
  unsigned long long rva[3] = {};
};

struct ParkedThreads {
  unsigned long long base = 0;
  std::vector<Parked> threads;

  static ParkedThreads FromOutput(const std::string& out) {
    ParkedThreads parked;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      unsigned long long a = 0, b = 0, c = 0;
      unsigned long id = 0;
      char kind[16] = {};
      if (std::sscanf(line.c_str(), "engine: chains base 0x%llx", &a) == 1) {
        parked.base = a;
      } else if (std::sscanf(line.c_str(), "engine: parked %15s %lu %llx %llx %llx", kind, &id, &a, &b, &c) ==
                 5) {
        parked.threads.push_back({kind, id, {a, b, c}});
      }
    }
    return parked;
  }
};

std::wstring ManagedScript(const std::wstring& crashes, const std::string& marker, const std::wstring& extra,
                           int chains, bool rebase) {
  return L"send SetMonoPath 1 " + Quote(SiblingPath(L"managed_runtime_stub.dll")) +
         L" send SetCrashReportPath 1 " + Quote(crashes) + L" send SetMetaData 2 ReportJson {} " + extra +
         L"park " + std::to_wstring(chains) + L" 0 " + (rebase ? L"1" : L"0") +
         L" managed-context send SetUserMetaData 2 marker " + Utf8ToWide(marker) + L" await ";
}

// The cached reports holding `marker`, oldest first; the pairs are removed
// from the cache.
std::vector<std::string> TakeCachedReports(const std::string& marker) {
  std::vector<std::string> found;
  for (const std::wstring& path : ListCachedReports()) {
    const std::string json = test::Gunzip(test::ReadWholeFile(path));
    if (!Contains(json, marker)) continue;
    found.push_back(json);
    DeleteFileW(path.c_str());
    DeleteFileW((path.substr(0, path.size() - 3) + L".meta").c_str());  // .json.gz -> .json.meta
  }
  return found;
}

const rapidjson::Value* FindThread(const rapidjson::Document& doc, unsigned long id) {
  const std::string name = "Thread " + std::to_string(id);
  for (const auto& thread : doc["native_crash"]["threads"].GetArray()) {
    if (name == thread["name"].GetString()) return &thread;
  }
  return nullptr;
}

// Where the native frame of the chains library at `rva` lies, or -1.
int FindChainFrame(const rapidjson::Value& frames, unsigned long long rva) {
  for (rapidjson::SizeType i = 0; i < frames.Size(); ++i) {
    if (!frames[i]["managed"].GetBool() && frames[i]["relative_pc"].GetUint64() == rva &&
        std::string(frames[i]["image_name"].GetString()) == kChainsModule) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void ExpectManagedFrame(const rapidjson::Value& frame, const char* description) {
  EXPECT_TRUE(frame["managed"].GetBool());
  EXPECT_STREQ(frame["managed_frame_desc"].GetString(), description);
  EXPECT_STREQ(frame["image_name"].GetString(), "");
  EXPECT_STREQ(frame["image_uuid"].GetString(), "");
  EXPECT_STREQ(frame["pdb_name"].GetString(), "");
  EXPECT_EQ(frame["image_base_address"].GetUint64(), 0u);
  EXPECT_EQ(frame["absolute_pc"].GetUint64(), 0u);
  EXPECT_EQ(frame["relative_pc"].GetUint64(), 0u);
}

// A thread whose walk went through: the chain frame, the runtime's frame in
// place of the next return address, the chain frame above it and more above.
void ExpectWholeWithManagedFrame(const rapidjson::Document& doc, const Parked& parked,
                                 unsigned long long base, const char* description) {
  SCOPED_TRACE(parked.kind + " " + std::to_string(parked.id));
  const rapidjson::Value* thread = FindThread(doc, parked.id);
  ASSERT_NE(thread, nullptr);
  const auto& frames = (*thread)["frames"];
  const int at = FindChainFrame(frames, parked.rva[0]);
  ASSERT_GE(at, 0);
  ASSERT_LT(at + 3, static_cast<int>(frames.Size()));
  EXPECT_EQ(frames[at]["absolute_pc"].GetUint64(), base + parked.rva[0]);
  EXPECT_EQ(frames[at]["image_base_address"].GetUint64(), base);
  ExpectManagedFrame(frames[at + 1], description);
  EXPECT_EQ(FindChainFrame(frames, parked.rva[2]), at + 2);
}

// A thread whose walk the runtime ended: the frames up to the chain frame
// before the failing address, and nothing after it.
void ExpectEndsAtFailingAddress(const rapidjson::Document& doc, const Parked& parked) {
  SCOPED_TRACE(parked.kind + " " + std::to_string(parked.id));
  const rapidjson::Value* thread = FindThread(doc, parked.id);
  ASSERT_NE(thread, nullptr);
  const auto& frames = (*thread)["frames"];
  ASSERT_GT(frames.Size(), 0u);
  EXPECT_EQ(FindChainFrame(frames, parked.rva[0]), static_cast<int>(frames.Size()) - 1);
}

// Two crashes in one session: in the first, the runtime fails to read on one
// thread, faults on another, probes memory under the system's own handler
// on a third and reports a failure from a thread of its own on a fourth; a
// walk that took a fault someone else handles, or left the runtime's lock
// held, or ended the handler, would show in the second.
TEST(ManagedFramesThroughTheHandler, TheReportNamesManagedFramesInPlaceAndASecondCrashIsCapturedWhole) {
  TempFolder crashes(L"managed");
  const std::string marker = "managed-" + std::to_string(GetCurrentProcessId());
  EngineSession s;
  ASSERT_TRUE(s.Start(ManagedScript(crashes.path(), marker, L"", 2, false) +
                      L"crash-parked 0 90000 crash-parked 0 90000 terminate hang"))
      << s.failure;
  ASSERT_TRUE(s.Continue("'" + marker + "'")) << s.failure;
  EXPECT_EQ(s.HandlerResult(), 0);
  const std::string out = s.engine.OutputSoFar();
  EXPECT_EQ(Count(out, "engine: crash response received"), 2u) << out;
  const ParkedThreads parked = ParkedThreads::FromOutput(out);
  ASSERT_NE(parked.base, 0u) << out;

  const auto reports = TakeCachedReports(marker);
  ASSERT_EQ(reports.size(), 2u) << out;
  for (const std::string& json : reports) {
    rapidjson::Document doc;
    doc.Parse(json.c_str());
    ASSERT_FALSE(doc.HasParseError());
    int chains = 0;
    for (const Parked& thread : parked.threads) {
      if (thread.kind == "chain") {
        ExpectWholeWithManagedFrame(doc, thread, parked.base, "Game.Player.Update()");
        // The crash names the first chain thread as the crashed one.
        EXPECT_EQ((*FindThread(doc, thread.id))["crashed"].GetBool(), chains++ == 0);
      } else if (thread.kind == "probe") {
        ExpectWholeWithManagedFrame(doc, thread, parked.base, "Game.Probe.Check()");
      } else if (thread.kind == "foreign") {
        ExpectWholeWithManagedFrame(doc, thread, parked.base, "Game.Foreign.Read()");
      } else {
        ExpectEndsAtFailingAddress(doc, thread);
      }
    }
    EXPECT_EQ(chains, 2);
  }
  for (const Parked& thread : parked.threads) {
    const std::string line = "Exception encountered during stack walk of thread " + std::to_string(thread.id);
    const bool fails = thread.kind == "fail" || thread.kind == "fault";
    EXPECT_EQ(Count(out, line + "\r\n"), fails ? 2u : 0u) << thread.kind << "\n" << out;
  }
  EXPECT_EQ(Count(out, "Refused a managed runtime read failure on thread "), 2u) << out;
}

// The hash takes the crashed thread's native frames by their addresses
// relative to their modules, and leaves managed frames out.
TEST(ManagedFramesThroughTheHandler, TheCrashHashStaysTheSameWhenTheLibraryLoadsElsewhere) {
  std::string hashes[2];
  unsigned long long bases[2] = {};
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    TempFolder crashes(L"managed-hash");
    const std::wstring analytics = crashes.path() + L"\\analytics.json";
    test::WriteTextFile(analytics, "{\"msg\":{\"eventData\":{\"value\":0}}}");
    const std::string marker = "managed-hash-" + std::to_string(GetCurrentProcessId());
    EngineSession s;
    ASSERT_TRUE(
        s.Start(ManagedScript(crashes.path(), marker,
                              L"send SetAnalyticsCrashFilePath 1 " + Quote(analytics) + L" ", 1, run == 1) +
                L"crash-parked 0 90000 terminate hang"))
        << s.failure;
    ASSERT_TRUE(s.Continue("'" + marker + "'")) << s.failure;
    EXPECT_EQ(s.HandlerResult(), 0);
    const std::string out = s.engine.OutputSoFar();
    bases[run] = ParkedThreads::FromOutput(out).base;
    const auto reports = TakeCachedReports(marker);
    ASSERT_EQ(reports.size(), 1u) << out;
    EXPECT_TRUE(Contains(reports[0], "\"managed_frame_desc\":\"Game.Player.Update()\"")) << reports[0];
    rapidjson::Document doc;
    const std::string text = test::ReadWholeFile(analytics);
    doc.Parse(text.c_str());
    ASSERT_FALSE(doc.HasParseError()) << text;
    ASSERT_TRUE(doc["msg"]["eventData"]["value"].IsString()) << text;
    hashes[run] = doc["msg"]["eventData"]["value"].GetString();
  }
  EXPECT_NE(bases[0], bases[1]);
  EXPECT_EQ(hashes[0].size(), 64u);
  EXPECT_NE(hashes[0], kEmptyStreamHash);
  EXPECT_EQ(hashes[0], hashes[1]);
}

}  // namespace
}  // namespace nelko
