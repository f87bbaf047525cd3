#include "report/analytics_file.h"

#include <gtest/gtest.h>

namespace nelko {
namespace {

const char kHash[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Rewritten(const std::string& text) {
  auto result = RewriteAnalyticsCrashText(text, kHash);
  return result ? *result : "<unchanged>";
}

TEST(AnalyticsCrashText, ValueBecomesTheHashAndEverythingElseStays) {
  EXPECT_EQ(Rewritten(R"({"msg":{"eventData":{"value":0,"other":1}},"x":[1,2]})"),
            std::string(R"({"msg":{"eventData":{"value":")") + kHash + R"(","other":1}},"x":[1,2]})");
}

TEST(AnalyticsCrashText, ValueOfAnyKindIsReplaced) {
  for (const char* value : {"null", "true", "\"old\"", "{\"a\":[1]}", "[]", "-1.5"}) {
    EXPECT_EQ(Rewritten(std::string(R"({"msg":{"eventData":{"value":)") + value + "}}}"),
              std::string(R"({"msg":{"eventData":{"value":")") + kHash + "\"}}}")
        << value;
  }
}

TEST(AnalyticsCrashText, LayoutBecomesCompactButMembersKeepOrderAndValues) {
  const std::string text =
      "{\r\n  \"z\" : 18446744073709551615,\n  \"a\": -9223372036854775808,\n"
      "  \"msg\": { \"eventData\": { \"name\": \"cr\\u00e9\\tash\\/\\u0001\", \"value\": \"\" } },\n"
      "  \"d\": 0.5, \"e\": [ true, false, null ]\n}\n";
  EXPECT_EQ(Rewritten(text),
            std::string(R"({"z":18446744073709551615,"a":-9223372036854775808,"msg":{"eventData":)") +
                "{\"name\":\"cr\xC3\xA9\\tash/\\u0001\",\"value\":\"" + kHash +
                R"("}},"d":0.5,"e":[true,false,null]})");
}

TEST(AnalyticsCrashText, NumbersComeBackAsTheSameNumbers) {
  // Found by fuzzing: a rewrite nudged 4.5e300 to 4.5000000000000005e300.
  const std::string numbers =
      R"("a":4.5e300,"b":123456789.12345679,"c":0.1,"d":-0.0,"e":5e-324,"f":1.7976931348623157e308)";
  const std::string text = R"({"msg":{"eventData":{"value":0}},)" + numbers + "}";
  const auto once = RewriteAnalyticsCrashText(text, kHash);
  ASSERT_TRUE(once);
  EXPECT_NE(once->find(numbers), std::string::npos) << *once;
  EXPECT_EQ(RewriteAnalyticsCrashText(*once, kHash), once);
}

TEST(AnalyticsCrashText, NumbersNoDoubleHoldsComeBackAsWritten) {
  // Found by fuzzing: a number beyond the largest double was written as
  // nothing ("n":,), and some long negative numbers tripped the library's
  // precise conversion. Numbers are now copied as the engine wrote them.
  const std::string numbers = R"("n":3.5e308,"k":-88888808080000000000000080,"z":1E-400,"w":-0.0)";
  const std::string text = R"({"msg":{"eventData":{"value":12.5}},)" + numbers + "}";
  EXPECT_EQ(Rewritten(text),
            std::string(R"({"msg":{"eventData":{"value":")") + kHash + R"("}},)" + numbers + "}");
  // The parser refuses an exponent far beyond any double: the file stays as it is.
  EXPECT_EQ(Rewritten(R"({"msg":{"eventData":{"value":1}},"m":-1e400})"), "<unchanged>");
}

TEST(AnalyticsCrashText, TextWithANulByteIsLeftAlone) {
  // The parser would stop at the NUL and the rest would be lost on rewrite.
  EXPECT_EQ(Rewritten(std::string(R"({"msg":{"eventData":{"value":0}}})") + '\0' + "tail"), "<unchanged>");
  EXPECT_EQ(Rewritten(std::string(R"({"msg":{"eventData":{"value":"a)") + '\0' + R"("}}})"), "<unchanged>");
}

TEST(AnalyticsCrashText, OnlyTheFirstOfDuplicateKeysIsFollowed) {
  EXPECT_EQ(Rewritten(R"({"msg":{"eventData":{"value":1,"value":2}},"msg":{}})"),
            std::string(R"({"msg":{"eventData":{"value":")") + kHash + R"(","value":2}},"msg":{}})");
  EXPECT_EQ(Rewritten(R"({"msg":{"other":{}},"msg":{"eventData":{"value":1}}})"), "<unchanged>");
}

TEST(AnalyticsCrashText, AnythingElseIsLeftAlone) {
  for (const char* text : {
           "",
           "   ",
           "{",
           "not json",
           R"([{"msg":{"eventData":{"value":0}}}])",
           R"({"msg":{"eventData":{"value":0}}} {})",
           R"({"msg":{"eventData":{"value":0}}},)",
           R"({})",
           R"({"msg":[{"eventData":{"value":0}}]})",
           R"({"msg":{"eventData":"value"}})",
           R"({"msg":{"eventData":{"Value":0}}})",
           R"({"Msg":{"eventData":{"value":0}}})",
           R"({"msg":{"eventdata":{"value":0}}})",
           R"({"eventData":{"value":0}})",
       }) {
    EXPECT_EQ(Rewritten(text), "<unchanged>") << text;
  }
}

}  // namespace
}  // namespace nelko
