#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_process_win.h"

namespace nelko {
namespace {

using test::Quote;
using test::RunChild;
using test::SiblingPath;

std::wstring Handler() { return Quote(SiblingPath(L"NelkoCrashHandler.exe")); }

TEST(HandlerEntry, WithoutAttachRunsUploadModeAndExitsWithItsResult) {
  auto r = RunChild(Handler());
  ASSERT_TRUE(r.started);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u) << r.output;
}

TEST(HandlerEntry, AttachWithoutArgumentsEndsWithNegativeResultWhole) {
  auto r = RunChild(Handler() + L" --attach");
  ASSERT_TRUE(r.started);
  ASSERT_FALSE(r.timed_out);
  // -900 as the 32-bit code a Windows parent sees.
  EXPECT_EQ(static_cast<int32_t>(r.exit_code), -900) << r.output;
}

TEST(HandlerEntry, FlagsInCapitalsAreRecognised) {
  auto r = RunChild(Handler() + L" --ATTACH");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(static_cast<int32_t>(r.exit_code), -900) << r.output;
}

TEST(HandlerEntry, ConsoleGivenTwiceIsAccepted) {
  auto r = RunChild(Handler() + L" --console --CONSOLE");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u) << r.output;
}

TEST(HandlerEntry, GeneralFlagsMayStandAnywhere) {
  auto r = RunChild(Handler() + L" --attach --Console");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(static_cast<int32_t>(r.exit_code), -900) << r.output;
}

TEST(HandlerEntry, WaitsForADebuggerWhenAskedAndNoneIsAttached) {
  test::ChildProcess child;
  ASSERT_TRUE(child.Start(Handler() + L" --Wait-For-Debugger"));
  EXPECT_TRUE(child.WaitForOutput("[CRASH HANDLER] Waiting for debugger...\r\n", 20000)) << child.Output(0);
  // It keeps waiting: no mode has run.
  EXPECT_FALSE(child.Wait(600));
  child.Kill();
  EXPECT_EQ(child.Output().find("Upload mode"), std::string::npos);
}

TEST(HandlerEntry, DiagnosticOutputReachesTheParentsStandardOutput) {
  auto r = RunChild(Handler());
  ASSERT_FALSE(r.timed_out);
  EXPECT_FALSE(r.output.empty());
}

}  // namespace
}  // namespace nelko
