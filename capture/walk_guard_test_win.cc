// The walk guard: every way a walk can end comes back to it, the runtime's
// read failure with its three values in the documented order.
#include "capture/walk_guard_win.h"

#include <windows.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "capture/managed_frame_reader_win.h"

namespace nelko {
namespace {

void Completes(void* argument) { *static_cast<int*>(argument) = 1; }

void FailsToRead(void*) { ThrowReadException(0x1000, 4, 7); }

void Faults(void* argument) {
  volatile int* nowhere = static_cast<int*>(argument);
  *nowhere = 1;
}

void Throws(void*) { throw std::runtime_error("walk"); }

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
