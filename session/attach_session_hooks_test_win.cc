// The attach session run in-process against a stand-in engine process, with
// a recording pipeline and the wait seams, for the outcomes that an engine
// cannot produce on demand.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>

#include "base/scoped_handle_win.h"
#include "client/message_encoding.h"
#include "session/attach_session_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/diag_capture.h"

namespace nelko {
namespace {

struct PipelineCall {
  int calls = 0;
  uint32_t process_id = 0;
  ACCESS_MASK access = 0;
  uintptr_t address = 0;
  bool terminate = false;
  bool wait_for_user = false;
  HANDLE response_event = nullptr;
  int32_t result = 0;
  DWORD delay_ms = 0;  // time the reader gets before the pipeline returns
};
PipelineCall g_call;

// The rights a handle was opened with, as the system records them.
ACCESS_MASK GrantedAccess(HANDLE handle) {
  struct BasicInformation {
    ULONG attributes;
    ACCESS_MASK granted_access;
    ULONG rest[20];
  } info = {};
  using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  if (query == nullptr || query(handle, 0, &info, sizeof(info), nullptr) != 0) return 0;
  return info.granted_access;
}

int32_t RecordingPipeline(uint32_t process_id, HANDLE process, uintptr_t address, SessionSettings&,
                          bool terminate, bool wait_for_user, HANDLE response_event) {
  ++g_call.calls;
  Sleep(g_call.delay_ms);
  g_call.process_id = process_id;
  g_call.access = GrantedAccess(process);
  g_call.address = address;
  g_call.terminate = terminate;
  g_call.wait_for_user = wait_for_user;
  g_call.response_event = response_event;
  SetEvent(response_event);
  return g_call.result;
}

ScopedHandle OpenNamedEvent(const wchar_t* format, DWORD pid) {
  wchar_t name[kEventNameCapacity];
  std::swprintf(name, kEventNameCapacity, format, static_cast<unsigned>(pid));
  return ScopedHandle(CreateEventW(nullptr, FALSE, FALSE, name));
}

// A stand-in engine: a process that waits for a line on its input, and a
// pipe in this process's standard-input slot that the session reads.
class InProcessSession : public ::testing::Test {
 protected:
  void SetUp() override {
    g_call = PipelineCall();
    ASSERT_TRUE(engine_.Start(L"cmd.exe /c pause", /*in_job=*/true));
    pid_ = GetProcessId(engine_.process());
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    write_end_.reset(write_end);
    saved_input_ = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, read_end);  // the session owns and closes it
  }
  void TearDown() override { SetStdHandle(STD_INPUT_HANDLE, saved_input_); }

  int32_t Run(std::wstring flags_before = L"", std::wstring flags_after = L"",
              const SessionHooks* hooks = nullptr) {
    std::wstring pid = std::to_wstring(pid_);
    std::wstring address = L"1234";
    std::wstring program = L"handler.exe";
    wchar_t* vector[6] = {program.data()};
    int count = 1;
    if (!flags_before.empty()) vector[count++] = flags_before.data();
    vector[count++] = pid.data();
    vector[count++] = address.data();
    if (!flags_after.empty()) vector[count++] = flags_after.data();
    return RunAttachSession(count, vector, &RecordingPipeline, hooks);
  }

  test::ChildProcess engine_;
  DWORD pid_ = 0;
  ScopedHandle write_end_;
  HANDLE saved_input_ = nullptr;
  test::DiagCapture output_;
};

TEST_F(InProcessSession, ThePipelineGetsAFullAccessHandleBothFlagsTheAddressAndTheResponseEvent) {
  ScopedHandle crash = OpenNamedEvent(kCrashEventNameFormat, pid_);
  ScopedHandle response = OpenNamedEvent(kResponseEventNameFormat, pid_);
  ASSERT_TRUE(crash.valid() && response.valid());
  SetEvent(crash.get());
  g_call.result = 0;
  EXPECT_EQ(Run(L"--terminate", L"--wait-for-user"), 0);
  EXPECT_EQ(g_call.calls, 1);
  EXPECT_EQ(g_call.process_id, pid_);
  EXPECT_EQ(g_call.access & PROCESS_ALL_ACCESS, static_cast<ACCESS_MASK>(PROCESS_ALL_ACCESS));
  EXPECT_EQ(g_call.address, 1234u);
  EXPECT_TRUE(g_call.terminate);
  EXPECT_TRUE(g_call.wait_for_user);
  // The pipeline set the event it was given: it is the engine's response event.
  EXPECT_EQ(WaitForSingleObject(response.get(), 0), WAIT_OBJECT_0);
}

TEST_F(InProcessSession, APipelineResultOtherThanKeepWatchingEndsTheSessionWithIt) {
  ScopedHandle crash = OpenNamedEvent(kCrashEventNameFormat, pid_);
  SetEvent(crash.get());
  g_call.result = 1;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(g_call.calls, 1);
  EXPECT_EQ(output_.Take().find("Warning: IPC thread"), std::string::npos);
}

TEST_F(InProcessSession, AReaderThatHadFailedIsNamedWhenThePipelineEndsTheSession) {
  ScopedHandle crash = OpenNamedEvent(kCrashEventNameFormat, pid_);
  SetEvent(crash.get());
  DWORD wrote = 0;
  ASSERT_TRUE(WriteFile(write_end_.get(), "\x00\x00\x00\x80", 4, &wrote, nullptr));  // over the limit
  g_call.result = 5;
  g_call.delay_ms = 1000;
  // The crash event is signalled before the wait starts, so it is reported
  // ahead of the reader's end; the pipeline gives the reader time to fail.
  const int32_t result = Run();
  EXPECT_EQ(result, 5);
  EXPECT_NE(output_.Take().find("Warning: IPC thread exited with code 13.\n"), std::string::npos);
}

TEST_F(InProcessSession, AnEventNameTakenByAnotherKindOfObjectEndsWithMinus898) {
  wchar_t name[kEventNameCapacity];
  std::swprintf(name, kEventNameCapacity, kTerminationEventNameFormat, static_cast<unsigned>(pid_));
  ScopedHandle squatter(CreateSemaphoreW(nullptr, 0, 1, name));
  ASSERT_TRUE(squatter.valid());
  EXPECT_EQ(Run(), kSessionCannotCreateEvent);
  EXPECT_EQ(output_.Take(), "Couldn't create shared event for PID " + std::to_string(pid_) + "\n");
  EXPECT_EQ(g_call.calls, 0);
}

TEST_F(InProcessSession, NoStandardInputEndsWithMinus892) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, nullptr);
  EXPECT_EQ(Run(), kSessionNoStandardInput);
  CloseHandle(input);
  EXPECT_EQ(output_.Take(), "Invalid pipe specified for STDIN.\n");
}

TEST_F(InProcessSession, AnEngineWhoseExitCodeCannotBeReadEndsWithMinus896) {
  engine_.WriteInput("\r\n");  // pause returns and the engine ends
  SessionHooks hooks;
  hooks.exit_code = [](HANDLE, DWORD*) -> BOOL { return FALSE; };
  EXPECT_EQ(Run(L"", L"", &hooks), kSessionNoExitCode);
  EXPECT_EQ(output_.Take(),
            "Process PID " + std::to_string(pid_) + " was terminated but exit code is not available.\n");
}

TEST_F(InProcessSession, AFailedWaitEndsWithMinus897) {
  SessionHooks hooks;
  hooks.wait = [](DWORD, const HANDLE*) -> DWORD {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  };
  EXPECT_EQ(Run(L"", L"", &hooks), kSessionWaitFailed);
  EXPECT_EQ(output_.Take(), "Waiting on crash event failed with code 6\n");
}

TEST_F(InProcessSession, AnUnexpectedWaitResultEndsWithMinus897) {
  SessionHooks hooks;
  hooks.wait = [](DWORD, const HANDLE*) -> DWORD {
    SetLastError(0);
    return WAIT_ABANDONED_0;
  };
  EXPECT_EQ(Run(L"", L"", &hooks), kSessionWaitFailed);
  EXPECT_EQ(output_.Take(), "Warning: Wait on crash event threw unexpected error: 128. GetLastError is 0.\n");
}

}  // namespace
}  // namespace nelko
