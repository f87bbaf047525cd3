#include <gtest/gtest.h>

#include "base/abnormal_exit_win.h"
#include "tests/support/child_process_win.h"

namespace nelko {
namespace {

using test::Quote;
using test::RunChild;
using test::SiblingPath;

TEST(AbnormalExit, AbortEndsWithItsCodeAndMessage) {
  auto r = RunChild(Quote(SiblingPath(L"abnormal_exit_probe.exe")) + L" abort");
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exit_code, kAbortExitCode);
  EXPECT_NE(r.output.find("Crash handler abnormally terminating due to abort()\r\n"), std::string::npos)
      << r.output;
}

TEST(AbnormalExit, InvalidParameterEndsWithItsCodeAndMessage) {
  auto r = RunChild(Quote(SiblingPath(L"abnormal_exit_probe.exe")) + L" invalid-parameter");
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exit_code, kInvalidParameterExitCode);
  EXPECT_NE(r.output.find("Crash handler abnormally terminating due to invalid parameter handler\r\n"),
            std::string::npos)
      << r.output;
}

TEST(AbnormalExit, ProbeWithoutMisbehaviourExitsNormally) {
  auto r = RunChild(Quote(SiblingPath(L"abnormal_exit_probe.exe")));
  EXPECT_EQ(r.exit_code, 3u);
}

}  // namespace
}  // namespace nelko
