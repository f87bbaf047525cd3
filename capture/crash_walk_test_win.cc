// The stack walk over a real engine: threads parked in known call chains in a
// relocatable library, a stand-in managed runtime that names one frame and
// fails to read on another, walked from this process as the pipeline does.
#include "capture/crash_walk_win.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "capture/crash_stack_walker_win.h"
#include "capture/frame_receiver.h"
#include "capture/managed_frame_reader_win.h"
#include "capture/native_stack_walker_win.h"
#include "capture/symbol_engine_win.h"
#include "capture/walk_guard_win.h"
#include "report/crash_report.h"
#include "tests/support/child_process_win.h"
#include "tests/support/time_scale.h"

namespace nelko {
namespace {

constexpr char kChainsModule[] = "test_engine_chains";

struct ParkedThread {
  std::string kind;
  DWORD id = 0;
  uint64_t rva[3] = {};
};

// A test engine with parked threads, and what it printed about them.
class ParkedEngine {
 public:
  bool Start(int chains, int depth, bool rebase) {
    const std::wstring command = test::Quote(test::SiblingPath(L"test_engine.exe")) + L" --no-handler park " +
                                 std::to_wstring(chains) + L" " + std::to_wstring(depth) +
                                 (rebase ? L" 1" : L" 0") + L" hang";
    if (!child_.Start(command)) return false;
    if (!child_.WaitForOutput("engine: all parked", 60000)) return false;
    std::istringstream lines(child_.OutputSoFar());
    std::string line;
    while (std::getline(lines, line)) {
      unsigned long long a = 0, b = 0, c = 0;
      unsigned long id = 0;
      char kind[16] = {};
      if (std::sscanf(line.c_str(), "engine: chains base 0x%llx managed-context 0x%llx", &a, &b) == 2) {
        base = a;
        managed_context = b;
      } else if (std::sscanf(line.c_str(), "engine: parked %15s %lu %llx %llx %llx", kind, &id, &a, &b, &c) ==
                 5) {
        threads.push_back({kind, id, {a, b, c}});
      }
    }
    return base != 0 && !threads.empty();
  }
  ~ParkedEngine() { child_.Kill(); }

  HANDLE process() const { return child_.process(); }

  const ParkedThread& First(const std::string& kind) const {
    for (const auto& t : threads) {
      if (t.kind == kind) return t;
    }
    static ParkedThread none;
    return none;
  }

  ScopedHandle OpenParkedThread(DWORD id) const {
    return ScopedHandle(
        OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, id));
  }

  uint64_t base = 0;
  uint64_t managed_context = 0;
  std::vector<ParkedThread> threads;

 private:
  test::ChildProcess child_;
};

std::string StubPath() { return WideToUtf8(test::SiblingPath(L"managed_runtime_stub.dll")); }

// Where the frame with this return address lies, or -1.
int FindNative(const Thread& thread, uint64_t address) {
  const auto& frames = thread.frames();
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!frames[i].managed && frames[i].absolute_pc == address) return static_cast<int>(i);
  }
  return -1;
}

void ExpectChainFrame(const StackFrame& frame, const ParkedEngine& engine, uint64_t rva) {
  EXPECT_FALSE(frame.managed);
  EXPECT_EQ(frame.image_name, kChainsModule);
  EXPECT_EQ(frame.image_base_address, engine.base);
  EXPECT_EQ(frame.absolute_pc, engine.base + rva);
  EXPECT_EQ(frame.relative_pc, rva);
  EXPECT_TRUE(frame.managed_frame_desc.empty());
}

class CrashWalkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    engine_ = new ParkedEngine;
    ASSERT_TRUE(engine_->Start(16, 1100, false));
  }
  static void TearDownTestSuite() {
    delete engine_;
    engine_ = nullptr;
  }
  static ParkedEngine* engine_;
};
ParkedEngine* CrashWalkTest::engine_ = nullptr;

TEST_F(CrashWalkTest, EveryParkedChainComesOutWithItsModuleAndRelativeAddressesAndTheManagedFrameInPlace) {
  ASSERT_NE(engine_, nullptr);
  CrashWalk walk(engine_->process(), StubPath(), engine_->managed_context);
  CrashReport report;
  walk.BeginReport(report, false);
  EXPECT_TRUE(report.hasNativeCrash);
  int chains = 0;
  for (const auto& parked : engine_->threads) {
    if (parked.kind != "chain") continue;
    ++chains;
    ScopedHandle thread = engine_->OpenParkedThread(parked.id);
    ASSERT_TRUE(thread.valid());
    Thread record;
    EXPECT_TRUE(walk.WalkThread(thread.get(), record)) << parked.id;
    const int at = FindNative(record, engine_->base + parked.rva[0]);
    ASSERT_GE(at, 1) << "thread " << parked.id << " has " << record.frames().size() << " frames";
    ASSERT_LT(at + 2, static_cast<int>(record.frames().size()));
    const auto& frames = record.frames();
    ExpectChainFrame(frames[at], *engine_, parked.rva[0]);
    // The return address into ChainOuter is managed code by the runtime's table.
    EXPECT_TRUE(frames[at + 1].managed);
    EXPECT_EQ(frames[at + 1].managed_frame_desc, "Game.Player.Update()");
    EXPECT_TRUE(frames[at + 1].image_name.empty());
    EXPECT_EQ(frames[at + 1].absolute_pc, 0u);
    EXPECT_EQ(frames[at + 1].relative_pc, 0u);
    EXPECT_EQ(frames[at + 1].image_base_address, 0u);
    ExpectChainFrame(frames[at + 2], *engine_, parked.rva[2]);
    // The innermost chain frame (ChainInner itself) sits right before.
    EXPECT_EQ(frames[at - 1].image_name, kChainsModule);
    for (const auto& frame : frames) EXPECT_TRUE(frame.inAppDirectory);
  }
  EXPECT_EQ(chains, 16);
}

TEST_F(CrashWalkTest, WithoutAManagedRuntimeEveryFrameIsNative) {
  ASSERT_NE(engine_, nullptr);
  CrashWalk walk(engine_->process(), "", engine_->managed_context);
  CrashReport report;
  walk.BeginReport(report, false);
  const ParkedThread& parked = engine_->First("chain");
  ScopedHandle thread = engine_->OpenParkedThread(parked.id);
  Thread record;
  EXPECT_TRUE(walk.WalkThread(thread.get(), record));
  const int at = FindNative(record, engine_->base + parked.rva[0]);
  ASSERT_GE(at, 0);
  ASSERT_LT(at + 2, static_cast<int>(record.frames().size()));
  ExpectChainFrame(record.frames()[at + 1], *engine_, parked.rva[1]);
  ExpectChainFrame(record.frames()[at + 2], *engine_, parked.rva[2]);
  for (const auto& frame : record.frames()) EXPECT_FALSE(frame.managed);
}

TEST_F(CrashWalkTest, AReadFailureInTheRuntimeEndsThatThreadOnlyAndReleasesEverythingTheWalkHeld) {
  ASSERT_NE(engine_, nullptr);
  CrashWalk walk(engine_->process(), StubPath(), engine_->managed_context);
  CrashReport report;
  walk.BeginReport(report, false);
  const ParkedThread& failing = engine_->First("fail");
  ScopedHandle thread = engine_->OpenParkedThread(failing.id);
  Thread record;
  EXPECT_FALSE(walk.WalkThread(thread.get(), record));
  // The frames before the failing address stay; nothing after it.
  ASSERT_FALSE(record.frames().empty());
  ExpectChainFrame(record.frames().back(), *engine_, failing.rva[0]);
  EXPECT_EQ(SymbolEngineLock().owner(), 0u) << "the interrupted pass still holds the symbol lock";
  // The thread was resumed: it still answers a suspend with count 0.
  const DWORD previous = SuspendThread(thread.get());
  ResumeThread(thread.get());
  EXPECT_EQ(previous, 0u);

  // The same walker goes on with the next thread.
  const ParkedThread& next = engine_->First("chain");
  ScopedHandle next_thread = engine_->OpenParkedThread(next.id);
  Thread next_record;
  EXPECT_TRUE(walk.WalkThread(next_thread.get(), next_record));
  EXPECT_GE(FindNative(next_record, engine_->base + next.rva[0]), 0);
}

TEST_F(CrashWalkTest, AFaultInsideTheRuntimeEndsThatThreadLikeAReadFailure) {
  ASSERT_NE(engine_, nullptr);
  CrashWalk walk(engine_->process(), StubPath(), engine_->managed_context);
  CrashReport report;
  walk.BeginReport(report, false);
  const ParkedThread& faulting = engine_->First("fault");
  ScopedHandle thread = engine_->OpenParkedThread(faulting.id);
  Thread record;
  EXPECT_FALSE(walk.WalkThread(thread.get(), record));
  ASSERT_FALSE(record.frames().empty());
  ExpectChainFrame(record.frames().back(), *engine_, faulting.rva[0]);
  EXPECT_EQ(SymbolEngineLock().owner(), 0u);

  const ParkedThread& next = engine_->First("chain");
  ScopedHandle next_thread = engine_->OpenParkedThread(next.id);
  Thread next_record;
  EXPECT_TRUE(walk.WalkThread(next_thread.get(), next_record));
  EXPECT_GE(FindNative(next_record, engine_->base + next.rva[0]), 0);
}

TEST_F(CrashWalkTest, ARuntimeThatFailsToReadDuringItsSetUpGivesNoReaderAndNoCrash) {
  ASSERT_NE(engine_, nullptr);
  SetEnvironmentVariableW(L"MANAGED_RUNTIME_STUB_FAIL_INIT", L"1");
  const auto failing = ManagedFrameReader::Create(StubPath(), engine_->process(), engine_->managed_context);
  SetEnvironmentVariableW(L"MANAGED_RUNTIME_STUB_FAIL_INIT", nullptr);
  EXPECT_EQ(failing, nullptr);
  EXPECT_NE(ManagedFrameReader::Create(StubPath(), engine_->process(), engine_->managed_context), nullptr);
  EXPECT_EQ(ManagedFrameReader::Create("", engine_->process(), engine_->managed_context), nullptr);
  EXPECT_EQ(ManagedFrameReader::Create("Z:\\no\\such\\runtime.dll", engine_->process(), 1), nullptr);
  // A library without the init export is no runtime.
  EXPECT_EQ(ManagedFrameReader::Create("kernel32.dll", engine_->process(), 1), nullptr);
}

TEST_F(CrashWalkTest, AChainDeeperThanTheLimitYieldsExactly1024Frames) {
  ASSERT_NE(engine_, nullptr);
  CrashWalk walk(engine_->process(), StubPath(), engine_->managed_context);
  CrashReport report;
  walk.BeginReport(report, false);
  const ParkedThread& deep = engine_->First("deep");
  ScopedHandle thread = engine_->OpenParkedThread(deep.id);
  Thread record;
  EXPECT_TRUE(walk.WalkThread(thread.get(), record));
  EXPECT_EQ(record.frames().size(), 1024u);
}

TEST_F(CrashWalkTest, WithoutAReceiverThreadTheWalkRecordsNothing) {
  ASSERT_NE(engine_, nullptr);
  CrashWalk walk(engine_->process(), StubPath(), engine_->managed_context);
  const ParkedThread& parked = engine_->First("chain");
  ScopedHandle thread = engine_->OpenParkedThread(parked.id);
  Thread record;
  EXPECT_TRUE(walk.WalkThread(thread.get(), record));  // no BeginReport: no receiver
  EXPECT_TRUE(record.frames().empty());
}

// The frames a walker makes that looks up every frame's name and line and
// reads its module's information afresh each time, as the crash walker did
// before it left out what its report never shows.
class NamingWalker : public NativeStackWalker {
 public:
  NamingWalker(HANDLE process, const ManagedFrameReader* reader)
      : NativeStackWalker(process, GetProcessId(process), kCrashOptions, nullptr), reader_(reader) {}
  void OnCallstackEntry(CallstackEventType type, CallstackEntry& entry) override {
    NativeStackWalker::OnCallstackEntry(type, entry);
    if (type != CallstackEventType::kLastEntry) frames.push_back(MakeStackFrame(entry, ""));
  }
  void OnOutput(const char* /*text*/) override {}
  bool ResolveSpecialFrame(uintptr_t address, CallstackEntry& entry) override {
    return reader_ != nullptr && reader_->ResolveFrame(address, entry);
  }
  std::vector<StackFrame> frames;

 private:
  const ManagedFrameReader* reader_;
};

std::string Describe(const StackFrame& f) {
  std::ostringstream text;
  text << f.image_name << " base " << f.image_base_address << " pc " << f.absolute_pc << " rel "
       << f.relative_pc << " uuid '" << f.image_uuid << "' pdb '" << f.pdb_name << "' user "
       << f.is_user_image << " managed " << f.managed << " '" << f.managed_frame_desc << "' in-app "
       << f.inAppDirectory;
  return text.str();
}

TEST_F(CrashWalkTest, TheCrashWalkGivesEveryThreadTheFramesOfAWalkerThatNamesEachFrame) {
  ASSERT_NE(engine_, nullptr);
  std::vector<const ParkedThread*> parked;
  for (const auto& t : engine_->threads) {
    if (t.kind == "chain" || t.kind == "deep") parked.push_back(&t);
  }
  ASSERT_GE(parked.size(), 2u);
  std::vector<std::vector<StackFrame>> walked;
  {
    CrashWalk walk(engine_->process(), StubPath(), engine_->managed_context);
    CrashReport report;
    walk.BeginReport(report, false);
    for (const ParkedThread* t : parked) {
      ScopedHandle thread = engine_->OpenParkedThread(t->id);
      Thread record;
      EXPECT_TRUE(walk.WalkThread(thread.get(), record)) << t->id;
      walked.push_back(record.frames());
    }
  }
  const auto reader = ManagedFrameReader::Create(StubPath(), engine_->process(), engine_->managed_context);
  ASSERT_NE(reader, nullptr);
  NamingWalker naming(engine_->process(), reader.get());
  for (size_t i = 0; i < parked.size(); ++i) {
    ScopedHandle thread = engine_->OpenParkedThread(parked[i]->id);
    naming.frames.clear();
    EXPECT_TRUE(naming.WalkThread(thread.get())) << parked[i]->id;
    ASSERT_EQ(walked[i].size(), naming.frames.size()) << parked[i]->kind << " " << parked[i]->id;
    for (size_t k = 0; k < walked[i].size(); ++k) {
      ASSERT_EQ(Describe(walked[i][k]), Describe(naming.frames[k])) << parked[i]->id << " frame " << k;
    }
  }
}

// The base walker's text: symbol set-up, one module line per module, one
// frame line per frame and none for the closing event.
class TextWalker : public NativeStackWalker {
 public:
  using NativeStackWalker::LeaveOutTextOnlyLookUps;
  using NativeStackWalker::NativeStackWalker;
  void OnOutput(const char* text) override { lines.emplace_back(text); }
  void OnCallstackEntry(CallstackEventType type, CallstackEntry& entry) override {
    NativeStackWalker::OnCallstackEntry(type, entry);
    events.push_back(type);
    if (type != CallstackEventType::kLastEntry)
      symbol_types.push_back(entry.module_name + std::string(" ") + entry.symbol_type_text);
  }
  std::vector<std::string> lines;
  std::vector<CallstackEventType> events;
  std::vector<std::string> symbol_types;
};

TEST_F(CrashWalkTest, TheBaseWalkerWritesTheSetUpModuleAndFrameLines) {
  ASSERT_NE(engine_, nullptr);
  TextWalker walker(engine_->process(), GetProcessId(engine_->process()), NativeStackWalker::kCrashOptions,
                    nullptr);
  ASSERT_TRUE(walker.LoadModules(false));
  ASSERT_FALSE(walker.lines.empty());
  EXPECT_EQ(walker.lines[0].rfind("SymInit: Symbol-SearchPath: '", 0), 0u) << walker.lines[0];
  bool module_line = false;
  for (const auto& line : walker.lines) {
    module_line = module_line || (line.find(std::string(":") + kChainsModule) != std::string::npos &&
                                  line.find("(result: 0), SymType: '") != std::string::npos);
  }
  EXPECT_TRUE(module_line);

  walker.lines.clear();
  const ParkedThread& parked = engine_->First("chain");
  ScopedHandle thread = engine_->OpenParkedThread(parked.id);
  EXPECT_TRUE(walker.WalkThread(thread.get()));
  ASSERT_GE(walker.events.size(), 2u);
  EXPECT_EQ(walker.events.front(), CallstackEventType::kFirstEntry);
  EXPECT_EQ(walker.events.back(), CallstackEventType::kLastEntry);
  size_t frame_lines = 0;
  for (const auto& line : walker.lines) frame_lines += line.rfind("0x", 0) == 0 ? 1 : 0;
  EXPECT_EQ(frame_lines, walker.events.size() - 1);  // the closing event writes nothing
  char expected[64];
  // Addresses are written as pointers: 8 digits in the 32-bit handler, 16 in the 64-bit one.
  std::snprintf(expected, sizeof(expected), "0x%0*llX (%s) ", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(engine_->base + parked.rva[0]), kChainsModule);
  bool frame_line = false;
  for (const auto& line : walker.lines) frame_line = frame_line || line.rfind(expected, 0) == 0;
  std::string all;
  for (const auto& line : walker.lines) all += line;
  EXPECT_TRUE(frame_line) << expected << "\n" << all;
}

TEST_F(CrashWalkTest, WalkingAWaitingThreadLoadsTheDebugInformationOfNoModuleThatNamesNoDebugFile) {
  // Every waiting thread stops in a system call stub without unwind data;
  // loading a module's debug information to unwind it cost the first walk
  // hundreds of milliseconds under Wine.
  ASSERT_NE(engine_, nullptr);
  TextWalker walker(engine_->process(), GetProcessId(engine_->process()), NativeStackWalker::kCrashOptions,
                    nullptr);
  walker.LeaveOutTextOnlyLookUps();
  ScopedHandle thread = engine_->OpenParkedThread(engine_->First("chain").id);
  EXPECT_TRUE(walker.WalkThread(thread.get()));
  ASSERT_GE(walker.symbol_types.size(), 3u);
  for (const auto& type : walker.symbol_types) EXPECT_NE(type.find(" -deferred-"), std::string::npos) << type;
}

// A thread of the engine, made suspended and never run, whose registers
// point into a stack that ends in an unreadable page after a few frames. Its
// addresses lie in the chains library but outside any function (in its
// headers), so the x64 unwinder takes each frame as a leaf whose return
// address is the next word of the stack.
class BrokenStackThread {
 public:
  BrokenStackThread(HANDLE process, uint64_t module_base) : process_(process) {
    for (int i = 0; i < 3; ++i) pcs[i] = static_cast<uintptr_t>(module_base) + 0x40 + 0x10 * i;
    pages_ = VirtualAllocEx(process, nullptr, 2 * 4096, MEM_RESERVE, PAGE_NOACCESS);
    if (pages_ == nullptr || VirtualAllocEx(process, pages_, 4096, MEM_COMMIT, PAGE_READWRITE) == nullptr)
      return;
    // The last two words before the unreadable page.
    const uintptr_t top = reinterpret_cast<uintptr_t>(pages_) + 4096;
    const uintptr_t stack = top - 2 * sizeof(uintptr_t);
#if defined(__x86_64__)
    const uintptr_t words[2] = {pcs[1], pcs[2]};  // [rsp], then the leaf above it
#else
    // [ebp]: the caller's frame, in the never-mapped first page (a page that
    // is only reserved reads as zeros in some set-ups).
    const uintptr_t words[2] = {16, pcs[1]};
#endif
    if (!WriteProcessMemory(process, reinterpret_cast<void*>(stack), words, sizeof(words), nullptr)) return;
    thread_.reset(CreateRemoteThread(process, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(pcs[0]),
                                     nullptr, CREATE_SUSPENDED, nullptr));
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    if (!thread_ || !GetThreadContext(thread_.get(), &context)) return;
#if defined(__x86_64__)
    context.Rsp = context.Rbp = stack;
    context.Rip = pcs[0];
#else
    context.Esp = context.Ebp = stack;
    context.Eip = pcs[0];
#endif
    ready_ = SetThreadContext(thread_.get(), &context) != FALSE;
  }
  ~BrokenStackThread() {
    if (thread_) {
      TerminateThread(thread_.get(), 0);
      WaitForSingleObject(thread_.get(), INFINITE);
    }
    if (pages_ != nullptr) VirtualFreeEx(process_, pages_, 0, MEM_RELEASE);
  }
  BrokenStackThread(const BrokenStackThread&) = delete;
  BrokenStackThread& operator=(const BrokenStackThread&) = delete;

  bool ready() const { return ready_; }
  HANDLE get() const { return thread_.get(); }
  uintptr_t pcs[3] = {};

 private:
  HANDLE process_;
  void* pages_ = nullptr;
  ScopedHandle thread_;
  bool ready_ = false;
};

std::string FrameLinePrefix(uintptr_t address) {
  char line[64];
  std::snprintf(line, sizeof(line), "0x%0*llX (", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(address));
  return line;
}

TEST_F(CrashWalkTest, AStackThatCannotBeFollowedToItsEndReportsItsFramesSoFarAsIncomplete) {
  ASSERT_NE(engine_, nullptr);
  BrokenStackThread broken(engine_->process(), engine_->base);
  ASSERT_TRUE(broken.ready());
  TextWalker walker(engine_->process(), GetProcessId(engine_->process()), NativeStackWalker::kCrashOptions,
                    nullptr);
  ASSERT_TRUE(walker.LoadModules(false));
  walker.lines.clear();
  EXPECT_FALSE(walker.WalkThread(broken.get()));
  ASSERT_FALSE(walker.lines.empty());
  EXPECT_EQ(walker.lines.back(), "<Missing stacktrace information>\n");
  std::string all;
  for (const auto& line : walker.lines) all += line;
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(all.find(FrameLinePrefix(broken.pcs[i])), std::string::npos) << i << "\n" << all;
  }
}

// A walker whose module hook faults once armed, as a registration inside
// the symbol library might.
class FaultingLoadWalker : public TextWalker {
 public:
  using TextWalker::TextWalker;
  void OnLoadModule(const char* image_path, const char* module_name, uint64_t base, DWORD size, DWORD result,
                    const char* sym_type, const char* pdb_name, uint64_t file_version) override {
    if (armed) *reinterpret_cast<volatile int*>(nowhere) = 1;
    TextWalker::OnLoadModule(image_path, module_name, base, size, result, sym_type, pdb_name, file_version);
  }
  bool armed = false;
  volatile uintptr_t nowhere = 16;
};

// The handles this process holds, counted by their values (the system's
// own count is not kept under Wine). Values are handed out from the lowest
// free one, and this process holds a few dozen.
size_t OpenHandleCount() {
  size_t open = 0;
  for (uintptr_t value = 4; value < 0x1000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++open;
  }
  return open;
}

TEST_F(CrashWalkTest, AFaultWhileTheModulesReloadLeavesNoHandleBehindOnceTheWalkIsAbandoned) {
  ASSERT_NE(engine_, nullptr);
  FaultingLoadWalker walker(engine_->process(), GetProcessId(engine_->process()),
                            NativeStackWalker::kCrashOptions, nullptr);
  ASSERT_TRUE(walker.LoadModules(false));
  walker.armed = true;
  auto abandoned_reload = [&walker] {
    const GuardResult result =
        RunGuarded([](void* w) { static_cast<FaultingLoadWalker*>(w)->LoadModules(true); }, &walker);
    EXPECT_EQ(result.outcome, WalkOutcome::kFault);
    walker.AbandonWalk();
  };
  // The first round also opens what the symbol library keeps for later.
  abandoned_reload();
  const size_t before = OpenHandleCount();
  ASSERT_GT(before, 0u);
  for (int i = 0; i < 3; ++i) abandoned_reload();
  EXPECT_EQ(OpenHandleCount(), before);
  EXPECT_EQ(SymbolEngineLock().owner(), 0u);
  walker.armed = false;
  EXPECT_TRUE(walker.LoadModules(true));
}

TEST(CrashWalkHashTest, TheCrashHashStaysTheSameWhenTheLibraryLoadsElsewhere) {
  std::string hashes[2];
  uint64_t bases[2] = {};
  for (int run = 0; run < 2; ++run) {
    ParkedEngine engine;
    ASSERT_TRUE(engine.Start(1, 0, run == 1));
    bases[run] = engine.base;
    CrashWalk walk(engine.process(), StubPath(), engine.managed_context);
    CrashReport report;
    walk.BeginReport(report, false);
    const ParkedThread& parked = engine.First("chain");
    ScopedHandle thread = engine.OpenParkedThread(parked.id);
    Thread record;
    record.crashed = true;
    EXPECT_TRUE(walk.WalkThread(thread.get(), record));
    EXPECT_GE(FindNative(record, engine.base + parked.rva[0]), 0);
    report.native_crash.AddThread(record);
    hashes[run] = report.native_crash.ComputeHash();
  }
  EXPECT_NE(bases[0], bases[1]);
  EXPECT_EQ(hashes[0].size(), 64u);
  EXPECT_EQ(hashes[0], hashes[1]);
}

}  // namespace
}  // namespace nelko
