#include "session/message_channel_win.h"

#include <gtest/gtest.h>

#include <string>

#include "base/diag_output.h"
#include "client/message_encoding.h"
#include "tests/support/diag_capture.h"
#include "tests/support/time_scale.h"

namespace nelko {
namespace {

BOOL WINAPI CancelThatAlwaysFails(HANDLE) {
  SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

// A channel on a fresh pipe whose write end the test keeps, so that the
// reader blocks in ReadFile once it has applied what was written.
class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HANDLE read_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end_, nullptr, 0));
    channel_.input.reset(read_end);
    channel_.handler = &handler_;
  }
  void TearDown() override {
    if (write_end_ != nullptr) CloseHandle(write_end_);
  }
  void Write(const std::string& bytes) {
    DWORD wrote = 0;
    ASSERT_TRUE(WriteFile(write_end_, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr));
  }
  // Waits until the reader has applied the message that sets this info.
  // The reader applies messages inside the channel's critical section.
  std::string Info() {
    EnterCriticalSection(channel_.critical_section.get());
    std::string info = settings_.info;
    LeaveCriticalSection(channel_.critical_section.get());
    return info;
  }
  void WaitForInfo(const std::string& info) {
    for (int i = 0; i < 3000 && Info() != info; ++i) Sleep(10);
    ASSERT_EQ(Info(), info);
  }

  test::DiagCapture output_;
  SessionSettings settings_;
  CommandHandler handler_{settings_};
  MessageChannel channel_;
  HANDLE write_end_ = nullptr;
};

TEST_F(ChannelTest, StopEndsAReaderBlockedInReadWithExitCodeZero) {
  ASSERT_TRUE(StartChannel(channel_));
  Write(client::EncodeMessage({"SetInfo", "applied"}));
  WaitForInfo("applied");
  EXPECT_EQ(StopChannel(channel_), 0u);
  EXPECT_FALSE(channel_.thread.valid());
  EXPECT_FALSE(channel_.input.valid());
}

TEST_F(ChannelTest, ACancelThatKeepsFailingDoesNotHoldTheStopForEver) {
  ASSERT_TRUE(StartChannel(channel_));
  Write(client::EncodeMessage({"SetInfo", "applied"}));
  WaitForInfo("applied");
  StopChannelHooks hooks;
  hooks.cancel = &CancelThatAlwaysFails;
  EXPECT_EQ(StopChannel(channel_, &hooks), 0u);
  EXPECT_FALSE(channel_.thread.valid());
}

TEST_F(ChannelTest, WithoutCancelTheReaderIsStoppedAllTheSame) {
  ASSERT_TRUE(StartChannel(channel_));
  Write(client::EncodeMessage({"SetInfo", "applied"}));
  WaitForInfo("applied");
  StopChannelHooks hooks;
  hooks.cancel_missing = true;
  EXPECT_EQ(StopChannel(channel_, &hooks), 0u);
  EXPECT_FALSE(channel_.thread.valid());
}

TEST_F(ChannelTest, TheEngineClosingThePipeEndsTheReaderWithZero) {
  ASSERT_TRUE(StartChannel(channel_));
  Write(client::EncodeMessage({"SetInfo", "last"}));
  CloseHandle(write_end_);
  write_end_ = nullptr;
  ASSERT_EQ(WaitForSingleObject(channel_.thread.get(), test::Scaled(30000)), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeThread(channel_.thread.get(), &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(settings_.info, "last");
  EXPECT_EQ(StopChannel(channel_), 0u);
}

TEST_F(ChannelTest, ALengthBeyondTheLimitEndsTheReaderWithAnError) {
  ASSERT_TRUE(StartChannel(channel_));
  Write(std::string("\x00\x00\x00\x80", 4));
  ASSERT_EQ(WaitForSingleObject(channel_.thread.get(), test::Scaled(30000)), WAIT_OBJECT_0);
  EXPECT_EQ(StopChannel(channel_), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_NE(output_.Take().find("exceeds the limit"), std::string::npos);
}

// Writes log messages into the pipe until it breaks.
DWORD WINAPI StreamLogMessages(void* pipe) {
  const std::string message =
      client::EncodeMessage({"RecordLogMessage", std::string(900, 'm'), "1", "2", "3"});
  DWORD wrote = 0;
  while (WriteFile(static_cast<HANDLE>(pipe), message.data(), static_cast<DWORD>(message.size()), &wrote,
                   nullptr)) {
  }
  return 0;
}

DWORD WINAPI AllocateAndPrint(void*) {
  for (int i = 0; i < 1000; ++i) {
    std::string text(4096 + i, 'a');
    DiagPrintf("%c", text[i]);
  }
  return 0;
}

// Catching up before a crash: a burst written just before is applied whole;
// a reader already blocked in its read answers too; a message the engine
// never finished does not hold the crash, and is applied once its rest
// arrives.
TEST_F(ChannelTest, CatchingUpAppliesABurstWholeAndIsNotHeldByAnUnfinishedMessage) {
  std::string burst;
  for (int i = 0; i <= 300; ++i) burst += client::EncodeMessage({"SetInfo", std::to_string(i)});
  ASSERT_TRUE(StartChannel(channel_));
  Write(burst);
  EXPECT_TRUE(CatchUpWithPipe(channel_));
  EXPECT_EQ(Info(), "300");
  // Asked again, the reader is woken from its read to look, and reads on.
  EXPECT_TRUE(CatchUpWithPipe(channel_));

  const std::string last = client::EncodeMessage({"SetInfo", "unfinished"});
  Write(last.substr(0, 10));
  EXPECT_FALSE(CatchUpWithPipe(channel_));
  EXPECT_EQ(Info(), "300");
  Write(last.substr(10));
  WaitForInfo("unfinished");
}

// Whatever moment the reader is stopped at, the main thread must be able to
// allocate and print afterwards: a reader killed inside the heap or the C
// runtime's stream would leave their locks held for ever.
TEST_F(ChannelTest, StoppingAReaderBusyWithAStreamLeavesTheHeapAndOutputUsable) {
  ASSERT_TRUE(StartChannel(channel_));
  Write(client::EncodeMessage({"SetLogBufferSize", "50"}));
  HANDLE writer = CreateThread(nullptr, 0, &StreamLogMessages, write_end_, 0, nullptr);
  ASSERT_NE(writer, nullptr);
  Sleep(200);  // let the stream run
  StopChannelHooks hooks;
  hooks.cancel_missing = true;
  EXPECT_EQ(StopChannel(channel_, &hooks), 0u);
  CloseHandle(write_end_);
  write_end_ = nullptr;
  WaitForSingleObject(writer, test::Scaled(30000));
  CloseHandle(writer);

  HANDLE after = CreateThread(nullptr, 0, &AllocateAndPrint, nullptr, 0, nullptr);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(WaitForSingleObject(after, test::Scaled(10000)), WAIT_OBJECT_0)
      << "allocation or output blocked after the stop";
  CloseHandle(after);
}

}  // namespace
}  // namespace nelko
