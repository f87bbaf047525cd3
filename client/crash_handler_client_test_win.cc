// The engine-side library against the real handler.
#include "client/crash_handler_client_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/support/child_process_win.h"
#include "tests/support/time_scale.h"

namespace nelko::client {
namespace {

TEST(CrashHandlerClient, ASecondStartIsRefusedAndTheFirstHandlerKeepsWatching) {
  CrashHandlerClient client;
  HANDLE null_output = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  StartOptions options;
  options.output = null_output;
  ASSERT_TRUE(client.Start(test::SiblingPath(L"NelkoCrashHandler.exe"), options));
  const DWORD first = client.handler_pid();
  EXPECT_FALSE(client.Start(test::SiblingPath(L"NelkoCrashHandler.exe"), options));
  EXPECT_EQ(client.handler_pid(), first);
  EXPECT_EQ(WaitForSingleObject(client.handler_process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(client.SetInfo("still talking to the first handler"));

  // Closing the pipe ends the first handler's session cleanly.
  client.ClosePipe();
  EXPECT_EQ(WaitForSingleObject(client.handler_process(), test::Scaled(30000)),
            static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 1;
  GetExitCodeProcess(client.handler_process(), &code);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(client.SetInfo("no pipe"));
  CloseHandle(null_output);
}

TEST(CrashHandlerClient, TheCrashDataBlockIsFilledInTheSharedLayout) {
  CrashHandlerClient client;
  EXPECT_EQ(client.crash_data_block(), nullptr);
  HANDLE null_output = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  StartOptions options;
  options.output = null_output;
  ASSERT_TRUE(client.Start(test::SiblingPath(L"NelkoCrashHandler.exe"), options));
  ASSERT_NE(client.crash_data_block(), nullptr);
  EXPECT_LE(reinterpret_cast<uintptr_t>(client.crash_data_block()), 0xFFFFFFFFu);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = 0xC0000094;  // integer divide by zero
  record.NumberParameters = 1;
  client.FillCrashDataBlock(1234, 0, /*fatal=*/true, &record, nullptr);
  const CrashDataBlock& block = *client.crash_data_block();
  EXPECT_EQ(block.magic, kCrashBlockMagic);
  EXPECT_EQ(block.pid, GetCurrentProcessId());
  EXPECT_EQ(block.crashedThreadId, 1234u);
  EXPECT_EQ(block.size, kCrashBlockSize);
  EXPECT_EQ(block.exceptionRecord.ExceptionCode, 0xC0000094u);
  EXPECT_EQ(block.exceptionRecord.NumberParameters, 1u);
  EXPECT_TRUE(block.fatal());
  EXPECT_EQ(block.managedContext, 0u);
  client.SetManagedContext(0x12345678);
  client.FillCrashDataBlock(1, 0xC0000005, /*fatal=*/false);
  EXPECT_EQ(block.exceptionRecord.ExceptionCode, 0xC0000005u);
  EXPECT_EQ(block.managedContext, 0x12345678u);
  EXPECT_FALSE(block.fatal());
  client.ClosePipe();
  WaitForSingleObject(client.handler_process(), test::Scaled(30000));
  CloseHandle(null_output);
}

}  // namespace
}  // namespace nelko::client
