#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nelko {
namespace {

// Holds a mutable argument vector for RemoveFlag.
struct Args {
  explicit Args(std::vector<std::wstring> items) : storage(std::move(items)) {
    for (auto& s : storage) pointers.push_back(s.data());
    count = static_cast<int>(pointers.size());
  }
  std::vector<std::wstring> Remaining() const {
    std::vector<std::wstring> out;
    for (int i = 0; i < count; ++i) out.emplace_back(pointers[i]);
    return out;
  }
  std::vector<std::wstring> storage;
  std::vector<wchar_t*> pointers;
  int count = 0;
};

using Vec = std::vector<std::wstring>;

TEST(RemoveFlag, RemovesEveryOccurrenceIgnoringCaseAndKeepsOrder) {
  Args args({L"prog.exe", L"--console", L"a", L"--CONSOLE", L"b", L"--Console", L"c"});
  EXPECT_TRUE(RemoveFlag(L"--console", args.count, args.pointers.data()));
  EXPECT_EQ(args.Remaining(), (Vec{L"prog.exe", L"a", L"b", L"c"}));
}

TEST(RemoveFlag, AbsentFlagLeavesVectorAlone) {
  Args args({L"prog.exe", L"--attach", L"12", L"34"});
  EXPECT_FALSE(RemoveFlag(L"--console", args.count, args.pointers.data()));
  EXPECT_EQ(args.Remaining(), (Vec{L"prog.exe", L"--attach", L"12", L"34"}));
}

TEST(RemoveFlag, NeverExaminesElementZero) {
  Args args({L"--console", L"x"});
  EXPECT_FALSE(RemoveFlag(L"--console", args.count, args.pointers.data()));
  EXPECT_EQ(args.Remaining(), (Vec{L"--console", L"x"}));
}

TEST(RemoveFlag, FlagOnlyArgumentsAndPrefixesAreDistinct) {
  Args args({L"prog.exe", L"--console", L"--consoles", L"-console", L"--console"});
  EXPECT_TRUE(RemoveFlag(L"--console", args.count, args.pointers.data()));
  EXPECT_EQ(args.Remaining(), (Vec{L"prog.exe", L"--consoles", L"-console"}));
}

TEST(RemoveFlag, EmptyVectorIsHarmless) {
  int count = 0;
  EXPECT_FALSE(RemoveFlag(L"--console", count, nullptr));
  EXPECT_EQ(count, 0);
}

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
