#include "app/relaunch.h"

#include <gtest/gtest.h>

namespace nelko {
namespace {

TEST(RelaunchCommandLine, QuotesEachElementAndEndsWithBlank) {
  const wchar_t* v[] = {L"C:\\Program Files\\Game\\handler.exe", L"1234", L"5678"};
  EXPECT_EQ(BuildRelaunchCommandLine(3, v, L"handler.exe --attach 1234 5678"),
            L"\"C:\\Program Files\\Game\\handler.exe\" \"1234\" \"5678\" ");
}

TEST(RelaunchCommandLine, PassesConsoleAndDebuggerFlagsAsSeparateArguments) {
  const wchar_t* v[] = {L"h.exe"};
  EXPECT_EQ(BuildRelaunchCommandLine(1, v, L"h.exe --wait-for-debugger --attach 1 2 --console"),
            L"\"h.exe\" --console --wait-for-debugger ");
}

TEST(RelaunchCommandLine, FlagTestIsCaseSensitive) {
  const wchar_t* v[] = {L"h.exe"};
  // Capitals were accepted at start-up but are not passed on.
  EXPECT_EQ(BuildRelaunchCommandLine(1, v, L"h.exe --CONSOLE --Wait-For-Debugger"), L"\"h.exe\" ");
}

TEST(RelaunchCommandLine, FlagTextInsideAnotherArgumentCounts) {
  const wchar_t* v[] = {L"C:\\my--console-games\\h.exe", L"1", L"2"};
  EXPECT_EQ(BuildRelaunchCommandLine(3, v, L"\"C:\\my--console-games\\h.exe\" --attach 1 2"),
            L"\"C:\\my--console-games\\h.exe\" \"1\" \"2\" --console ");
}

TEST(RelaunchCommandLine, NothingInsideAnElementIsEscaped) {
  const wchar_t* v[] = {L"a\\\"b", L""};
  EXPECT_EQ(BuildRelaunchCommandLine(2, v, L""), L"\"a\\\"b\" \"\" ");
}

}  // namespace
}  // namespace nelko
