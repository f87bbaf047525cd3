// Crash catching installed in this very process, with the real handler
// beside it: exceptions that are not crashes stay with their own handlers.
#include "client/crash_catching_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <exception>
#include <stdexcept>

#include "tests/support/child_process_win.h"
#include "tests/support/time_scale.h"

namespace nelko::client {
namespace {

class HandlerBeside : public ::testing::Test {
 protected:
  void SetUp() override {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    null_output_.reset(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   OPEN_EXISTING, 0, nullptr));
    StartOptions options;
    options.output = null_output_.get();
    ASSERT_TRUE(client_.Start(test::SiblingPath(L"NelkoCrashHandler.exe"), options));
  }
  void TearDown() override {
    UninstallCrashHandling();
    client_.ClosePipe();
    WaitForSingleObject(client_.handler_process(), test::Scaled(30000));
  }
  bool HandlerRunning() const { return WaitForSingleObject(client_.handler_process(), 0) == WAIT_TIMEOUT; }

  ScopedHandle null_output_;
  CrashHandlerClient client_;
};

volatile LONG g_engine_handled = 0;

// An engine's own vectored handler that deals with a code the library would
// take at first chance.
LONG CALLBACK EngineHandler(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) return EXCEPTION_CONTINUE_SEARCH;
  InterlockedIncrement(&g_engine_handled);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Were any of these taken for a crash, this process would end here.
TEST_F(HandlerBeside, ExceptionsHandledElsewhereStayWithTheirHandlers) {
  PVOID engine = AddVectoredExceptionHandler(/*first=*/0, EngineHandler);
  ASSERT_TRUE(InstallCrashHandling(client_));

  // A first-chance access violation that the system handles itself.
  EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(16), 4));
  // A C++ exception thrown and caught (a structured exception of its own on
  // 64-bit Windows).
  bool caught = false;
  try {
    throw std::runtime_error("handled");
  } catch (const std::exception&) {
    caught = true;
  }
  EXPECT_TRUE(caught);
  // The engine's vectored handler came first and keeps its turn.
  RaiseException(EXCEPTION_STACK_OVERFLOW, 0, 0, nullptr);
  EXPECT_EQ(g_engine_handled, 1);

  UninstallCrashHandling();
  RemoveVectoredExceptionHandler(engine);
  EXPECT_TRUE(HandlerRunning()) << "no crash was signalled";
}

LONG WINAPI EngineFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
void EngineTerminate() { std::abort(); }

TEST_F(HandlerBeside, InstallsOnceWhileTheHandlerRunsAndUninstallPutsBackWhatWasThere) {
  CrashHandlerClient not_started;
  EXPECT_FALSE(InstallCrashHandling(not_started));

  const LPTOP_LEVEL_EXCEPTION_FILTER outer_filter = SetUnhandledExceptionFilter(EngineFilter);
  const std::terminate_handler outer_terminate = std::set_terminate(EngineTerminate);
  ASSERT_TRUE(InstallCrashHandling(client_));
  EXPECT_FALSE(InstallCrashHandling(client_));
  EXPECT_NE(std::get_terminate(), EngineTerminate);
  UninstallCrashHandling();
  EXPECT_EQ(SetUnhandledExceptionFilter(outer_filter), EngineFilter);
  EXPECT_EQ(std::set_terminate(outer_terminate), EngineTerminate);

  // Once the handler has ended, nothing would answer a crash.
  client_.ClosePipe();
  ASSERT_EQ(WaitForSingleObject(client_.handler_process(), test::Scaled(30000)), WAIT_OBJECT_0);
  EXPECT_FALSE(InstallCrashHandling(client_));
}

}  // namespace
}  // namespace nelko::client
