#include "base/command_line.h"

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

}  // namespace
}  // namespace nelko
