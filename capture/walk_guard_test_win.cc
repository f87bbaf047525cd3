// The walk guard: every way a walk can end comes back to it, the runtime's
// read failure with its three values in the documented order; what others
// handle stays theirs.
#include "capture/walk_guard_win.h"

#include <windows.h>

#include <psapi.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "base/text_win.h"
#include "capture/managed_frame_reader_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/diag_capture.h"

namespace nelko {
namespace {

void Completes(void* argument) { *static_cast<int*>(argument) = 1; }

void FailsToRead(void*) { ThrowReadException(0x1000, 4, 7); }

void Faults(void* argument) {
  volatile int* nowhere = static_cast<int*>(argument);
  *nowhere = 1;
}

void Throws(void*) { throw std::runtime_error("walk"); }

DWORD WINAPI FailsToReadOnAThreadOfItsOwn(void*) {
  FailsToRead(nullptr);
  return 0;
}

void ProbesUnmappedMemory(void* argument) {
  *static_cast<BOOL*>(argument) = IsBadReadPtr(reinterpret_cast<const void*>(uintptr_t{16}), 4);
}

void ZeroesUnmappedMemoryInTheSystem(void*) {
  using ZeroFn = void(WINAPI*)(void*, SIZE_T);
  auto zero = reinterpret_cast<ZeroFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlZeroMemory")));
  zero(reinterpret_cast<void*>(uintptr_t{16}), 4);
}

bool InModule(HMODULE module, uintptr_t address) {
  MODULEINFO info = {};
  if (!K32GetModuleInformation(GetCurrentProcess(), module, &info, sizeof(info))) return false;
  const auto base = reinterpret_cast<uintptr_t>(info.lpBaseOfDll);
  return address >= base && address < base + info.SizeOfImage;
}

// The stand-in runtime pointed at this process, with one managed range whose
// lookup behaves as `flags` say (tools/managed_runtime_stub).
class OwnRuntime {
 public:
  static constexpr uintptr_t kManagedAddress = 0x1000;

  explicit OwnRuntime(uint32_t flags) {
    table_.magic = 0x544D4B4Eu;  // "NKMT"
    table_.count = 1;
    table_.entry.begin = kManagedAddress;
    table_.entry.end = kManagedAddress + 1;
    table_.entry.flags = flags;
    std::strcpy(table_.entry.class_name, "Game.Own");
    std::strcpy(table_.entry.method_name, "Step");
    runtime_path_ = WideToUtf8(test::SiblingPath(L"managed_runtime_stub.dll"));
    reader_ =
        ManagedFrameReader::Create(runtime_path_, GetCurrentProcess(), reinterpret_cast<uintptr_t>(&table_));
  }

  HMODULE module() const { return GetModuleHandleW(L"managed_runtime_stub.dll"); }

  // Looks the managed address up inside a guard.
  GuardResult Resolve(CallstackEntry& entry) {
    Lookup lookup{reader_.get(), &entry, false};
    GuardResult result = RunGuarded(
        [](void* argument) {
          auto* l = static_cast<Lookup*>(argument);
          l->named = l->reader->ResolveFrame(kManagedAddress, *l->entry);
        },
        &lookup);
    named_ = lookup.named;
    return result;
  }
  bool named() const { return named_; }
  bool loaded() const { return reader_ != nullptr; }

 private:
  struct Entry {
    uint64_t begin = 0;
    uint64_t end = 0;
    uint32_t flags = 0;
    uint32_t reserved = 0;
    char class_name[64] = {};
    char method_name[64] = {};
    char image_name[64] = {};
  };
  struct Table {
    uint32_t magic = 0;
    uint32_t count = 0;
    Entry entry;
  };
  struct Lookup {
    ManagedFrameReader* reader;
    CallstackEntry* entry;
    bool named;
  };
  Table table_;
  std::string runtime_path_;
  std::unique_ptr<ManagedFrameReader> reader_;
  bool named_ = false;
};

// Two guards, the inner one catching: the outer body goes on afterwards.
void GuardsAgain(void* argument) {
  const GuardResult inner = RunGuarded(&FailsToRead, nullptr);
  *static_cast<int*>(argument) = inner.outcome == WalkOutcome::kReadException ? 2 : -1;
}

TEST(WalkGuardTest, ABodyThatReturnsCompletes) {
  int done = 0;
  EXPECT_EQ(RunGuarded(&Completes, &done).outcome, WalkOutcome::kCompleted);
  EXPECT_EQ(done, 1);
}

TEST(WalkGuardTest, TheRuntimesReadFailureArrivesAsAReadExceptionHoldingThirdFirstSecond) {
  const GuardResult result = RunGuarded(&FailsToRead, nullptr);
  ASSERT_EQ(result.outcome, WalkOutcome::kReadException);
  EXPECT_EQ(result.read_exception.code, 7u);
  EXPECT_EQ(result.read_exception.address, 0x1000u);
  EXPECT_EQ(result.read_exception.size, 4u);
}

TEST(WalkGuardTest, AnAccessViolationInsideTheWalkEndsItAsAFault) {
  const GuardResult result = RunGuarded(&Faults, reinterpret_cast<void*>(uintptr_t{16}));
  ASSERT_EQ(result.outcome, WalkOutcome::kFault);
  EXPECT_EQ(result.fault_code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  // The guard is gone afterwards and the thread works on normally.
  int done = 0;
  EXPECT_EQ(RunGuarded(&Completes, &done).outcome, WalkOutcome::kCompleted);
}

// The system's own handler runs, as it would without the guard.
TEST(WalkGuardTest, ABodyWhoseFaultASystemFunctionHandlesItselfReturnsNormally) {
  BOOL bad = FALSE;
  EXPECT_EQ(RunGuarded(&ProbesUnmappedMemory, &bad).outcome, WalkOutcome::kCompleted);
  EXPECT_TRUE(bad);
}

TEST(WalkGuardTest, AFaultNobodyHandlesInASystemLibraryOrInTheRuntimeEndsOnlyThatWalk) {
  const GuardResult in_system = RunGuarded(&ZeroesUnmappedMemoryInTheSystem, nullptr);
  ASSERT_EQ(in_system.outcome, WalkOutcome::kFault);
  EXPECT_EQ(in_system.fault_code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_TRUE(InModule(GetModuleHandleW(L"ntdll.dll"), in_system.fault_address));

  OwnRuntime runtime(2);  // the lookup writes to the never-mapped page
  ASSERT_TRUE(runtime.loaded());
  CallstackEntry entry;
  const GuardResult in_runtime = runtime.Resolve(entry);
  ASSERT_EQ(in_runtime.outcome, WalkOutcome::kFault);
  EXPECT_EQ(in_runtime.fault_code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_TRUE(InModule(runtime.module(), in_runtime.fault_address));

  int done = 0;
  EXPECT_EQ(RunGuarded(&Completes, &done).outcome, WalkOutcome::kCompleted);
  EXPECT_EQ(done, 1);
}

// The runtime probes memory under the system's handler while it holds its
// lock: taking that fault would leave the lock held, and every later lookup
// would find it so.
TEST(WalkGuardTest, ARuntimeProbingMemoryUnderTheSystemsHandlerKeepsItsLockAndNamesTheFrameEveryTime) {
  OwnRuntime runtime(4);
  ASSERT_TRUE(runtime.loaded());
  for (int i = 0; i < 2; ++i) {
    CallstackEntry entry;
    EXPECT_EQ(runtime.Resolve(entry).outcome, WalkOutcome::kCompleted) << i;
    EXPECT_TRUE(runtime.named()) << i;
    EXPECT_STREQ(entry.name, "Game.Own.Step()");
  }
}

TEST(WalkGuardTest, AReadFailureFromAThreadOfTheRuntimesOwnIsRefusedWithALineAndTheWalkGoesOn) {
  test::DiagCapture diag;
  OwnRuntime runtime(8);
  ASSERT_TRUE(runtime.loaded());
  CallstackEntry entry;
  EXPECT_EQ(runtime.Resolve(entry).outcome, WalkOutcome::kCompleted);
  EXPECT_TRUE(runtime.named());
  EXPECT_STREQ(entry.name, "Game.Own.Step()");
  const std::string out = diag.Take();
  EXPECT_NE(out.find("Refused a managed runtime read failure on thread "), std::string::npos) << out;
  EXPECT_NE(out.find(" outside the stack walk\n"), std::string::npos) << out;

  // And on a thread that never entered a guard at all.
  HANDLE thread = CreateThread(nullptr, 0, &FailsToReadOnAThreadOfItsOwn, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_NE(diag.Take().find("Refused a managed runtime read failure"), std::string::npos);
}

TEST(WalkGuardTest, ACppExceptionOfTheHandlersOwnCodeIsCaught) {
  EXPECT_EQ(RunGuarded(&Throws, nullptr).outcome, WalkOutcome::kCppException);
}

TEST(WalkGuardTest, TheInnermostGuardCatchesAndTheOuterBodyGoesOn) {
  int state = 0;
  EXPECT_EQ(RunGuarded(&GuardsAgain, &state).outcome, WalkOutcome::kCompleted);
  EXPECT_EQ(state, 2);
}

DWORD WINAPI GuardOnAnotherThread(void* argument) {
  *static_cast<GuardResult*>(argument) = RunGuarded(&FailsToRead, nullptr);
  return 0;
}

TEST(WalkGuardTest, GuardsOfTwoThreadsEachCatchTheirOwnFailure) {
  GuardResult other;
  HANDLE thread = CreateThread(nullptr, 0, &GuardOnAnotherThread, &other, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const GuardResult mine = RunGuarded(&FailsToRead, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_EQ(mine.outcome, WalkOutcome::kReadException);
  EXPECT_EQ(other.outcome, WalkOutcome::kReadException);
}

TEST(WalkGuardTest, ManyFailuresInARowLeaveTheThreadSound) {
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(RunGuarded(&FailsToRead, nullptr).outcome, WalkOutcome::kReadException);
  }
  int done = 0;
  EXPECT_EQ(RunGuarded(&Completes, &done).outcome, WalkOutcome::kCompleted);
}

}  // namespace
}  // namespace nelko
