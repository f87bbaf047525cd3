// How a frame of the managed runtime is named.
#include "capture/out_of_process_mono.h"

#include <string>

#include <gtest/gtest.h>

namespace nelko {
namespace {

TEST(ManagedFrameNameTest, ClassAndMethodMakeACall) {
  EXPECT_EQ(ManagedFrameName("Game.Player", "Update", 2047), "Game.Player.Update()");
}

TEST(ManagedFrameNameTest, AMissingClassOrMethodGetsItsStandIn) {
  EXPECT_EQ(ManagedFrameName("", "Update", 2047), "<unknown class>.Update()");
  EXPECT_EQ(ManagedFrameName("Game.Player", "", 2047), "Game.Player.<unknown method>()");
  EXPECT_EQ(ManagedFrameName("", "", 2047), "<unknown class>.<unknown method>()");
}

TEST(ManagedFrameNameTest, TwoLongestNamesAreCutToTheFieldAndStillEndInACall) {
  const std::string class_name(1023, 'C');
  const std::string method_name(1023, 'M');
  const std::string name = ManagedFrameName(class_name, method_name, 2047);
  EXPECT_EQ(name.size(), 2047u);
  EXPECT_EQ(name.substr(0, 1024), class_name + ".");
  EXPECT_EQ(name.substr(name.size() - 2), "()");
}

TEST(ManagedFrameNameTest, ACutNeverSplitsACharacter) {
  // 'é' is two bytes; a cut at an odd position would split one.
  std::string method;
  for (int i = 0; i < 20; ++i) method += "\xC3\xA9";
  const std::string name = ManagedFrameName("K", method, 14);  // "K." + 10 bytes + "()"
  EXPECT_LE(name.size(), 14u);
  EXPECT_EQ(name.substr(name.size() - 2), "()");
  const std::string body = name.substr(2, name.size() - 4);
  EXPECT_EQ(body.size() % 2, 0u) << name;
}

}  // namespace
}  // namespace nelko
