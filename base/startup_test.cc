#include "base/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nelko {
namespace {

std::vector<std::string>* g_calls = nullptr;

struct Named {
  std::string name;
};
void Init(void* p) { g_calls->push_back("init " + static_cast<Named*>(p)->name); }
void Shutdown(void* p) { g_calls->push_back("shutdown " + static_cast<Named*>(p)->name); }

class StartupListTest : public ::testing::Test {
 protected:
  void SetUp() override { g_calls = &calls; }
  void TearDown() override { g_calls = nullptr; }
  StartupEntry* head = nullptr;
  std::vector<std::string> calls;
};

TEST_F(StartupListTest, RunsByOrderAtStartupAndInReverseAtShutdown) {
  Named a{"a"}, b{"b"}, c{"c"};
  StartupEntry ea, eb, ec;
  ea = {5, &a, Init, Shutdown};
  eb = {-1000000, &b, Init, Shutdown};
  ec = {100, &c, Init, Shutdown};
  LinkStartupEntry(head, &ea);
  LinkStartupEntry(head, &ec);
  LinkStartupEntry(head, &eb);
  RunStartupEntries(head);
  RunShutdownEntries(head);
  EXPECT_EQ(calls, (std::vector<std::string>{"init b", "init a", "init c", "shutdown c", "shutdown a",
                                             "shutdown b"}));
}

TEST_F(StartupListTest, EqualOrdersRunByAddress) {
  Named n[3] = {{"0"}, {"1"}, {"2"}};
  StartupEntry e[3];
  for (int i = 0; i < 3; ++i) e[i] = {7, &n[i], Init, Shutdown};
  // Linked in an order unrelated to their addresses.
  LinkStartupEntry(head, &e[1]);
  LinkStartupEntry(head, &e[0]);
  LinkStartupEntry(head, &e[2]);
  RunStartupEntries(head);
  RunShutdownEntries(head);
  EXPECT_EQ(calls, (std::vector<std::string>{"init 0", "init 1", "init 2", "shutdown 2", "shutdown 1",
                                             "shutdown 0"}));
}

TEST_F(StartupListTest, AbsentCallbacksAreSkippedButEntriesStillMarked) {
  Named a{"a"};
  StartupEntry no_init{1, &a, nullptr, Shutdown};
  StartupEntry no_shutdown{2, &a, Init, nullptr};
  LinkStartupEntry(head, &no_init);
  LinkStartupEntry(head, &no_shutdown);
  RunStartupEntries(head);
  EXPECT_TRUE(no_init.initialised);
  EXPECT_TRUE(no_shutdown.initialised);
  RunShutdownEntries(head);
  EXPECT_FALSE(no_init.initialised);
  EXPECT_FALSE(no_shutdown.initialised);
  EXPECT_EQ(calls, (std::vector<std::string>{"init a", "shutdown a"}));
}

TEST_F(StartupListTest, InitRunsOnceAndShutdownOnlyAfterInit) {
  Named a{"a"}, late{"late"};
  StartupEntry ea{1, &a, Init, Shutdown};
  LinkStartupEntry(head, &ea);
  RunStartupEntries(head);
  RunStartupEntries(head);  // already initialised: not called again
  StartupEntry elate{0, &late, Init, Shutdown};
  LinkStartupEntry(head, &elate);
  elate.initialised = false;
  // An entry linked after start-up and never initialised is not shut down.
  StartupEntry never{2, &late, nullptr, Shutdown};
  LinkStartupEntry(head, &never);
  RunShutdownEntries(head);
  EXPECT_EQ(calls, (std::vector<std::string>{"init a", "shutdown a"}));
}

TEST_F(StartupListTest, UnlinkRepairsNeighboursAndHead) {
  StartupEntry e1, e2, e3;
  LinkStartupEntry(head, &e1);
  LinkStartupEntry(head, &e2);
  LinkStartupEntry(head, &e3);  // list: e3 e2 e1
  UnlinkStartupEntry(head, &e2);
  EXPECT_EQ(head, &e3);
  EXPECT_EQ(e3.next, &e1);
  EXPECT_EQ(e1.previous, &e3);
  UnlinkStartupEntry(head, &e3);
  EXPECT_EQ(head, &e1);
  EXPECT_EQ(e1.previous, nullptr);
  UnlinkStartupEntry(head, &e1);
  EXPECT_EQ(head, nullptr);
}

}  // namespace
}  // namespace nelko
