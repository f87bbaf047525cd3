// The JSON transfer layer: what JSONWrite renders for each field kind, how
// leniently JSONRead converts, and whole-file parse and rewrite.
#include <gtest/gtest.h>

#include "tests/support/temp_files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "base/diag_output.h"
#include "report/json_document.h"
#include "report/json_read.h"
#include "report/json_stream_write.h"
#include "report/json_write.h"

namespace nelko {
namespace {

struct Pair {
  std::string key;
  std::string value;
  template <class T>
  void Transfer(T& t) {
    t.Transfer(key, "key");
    t.Transfer(value, "value");
  }
};

struct Sample {
  std::string text;
  int32_t number = 0;
  uint32_t count = 0;
  uint64_t big = 0;
  int16_t small = 0;
  bool flag = false;
  std::vector<std::string> tags;
  Pair pair;
  std::vector<Pair> pairs;
  template <class T>
  void Transfer(T& t) {
    t.Transfer(text, "text");
    t.Transfer(number, "number");
    t.Transfer(count, "count");
    t.Transfer(big, "big");
    t.Transfer(small, "small");
    t.Transfer(flag, "flag");
    t.Transfer(tags, "tags");
    t.Transfer(pair, "pair");
    t.Transfer(pairs, "pairs");
  }
};

// Gathers streamed text, checking that no piece outgrows the writer's buffer.
class StringSink : public JSONTextSink {
 public:
  explicit StringSink(size_t piece_size) : piece_size_(piece_size) {}
  bool Write(std::string_view piece) override {
    EXPECT_FALSE(piece.empty());
    EXPECT_LE(piece.size(), piece_size_);
    text.append(piece);
    return true;
  }
  std::string text;

 private:
  size_t piece_size_;
};

// The tree's text; the streaming writer must give the same bytes whatever
// its piece size, so escapes and numbers that straddle two pieces stay whole.
template <class Record>
std::string RenderBoth(Record& record) {
  JSONWrite writer;
  record.Transfer(writer);
  const std::string text = writer.ToText();
  for (size_t piece_size : {size_t{1}, size_t{7}, size_t{64}, JSONStreamWrite::kDefaultPieceSize}) {
    StringSink sink(piece_size);
    JSONStreamWrite streamed(sink, piece_size);
    record.Transfer(streamed);
    EXPECT_TRUE(streamed.Finish());
    EXPECT_EQ(sink.text, text) << "streamed in pieces of " << piece_size;
  }
  return text;
}

std::string Render(Sample& sample) { return RenderBoth(sample); }

template <class Field>
struct OneField {
  Field f;
  const char* key;
  template <class T>
  void Transfer(T& t) {
    t.Transfer(f, key);
  }
};

std::string RenderText(const std::string& text) {
  OneField<std::string> one{text, "s"};
  return RenderBoth(one);
}

// Reads text into a fresh field of the given kind, starting from initial.
template <class Field>
Field ReadField(const char* json_value, Field initial = Field()) {
  OneField<Field> one{initial, "f"};
  const std::string text = std::string("{\"f\":") + json_value + "}";
  JSONRead reader(text.c_str());
  EXPECT_TRUE(reader.IsValid()) << text;
  one.Transfer(reader);
  return one.f;
}

TEST(JSONWrite, CompactDocumentInFieldOrder) {
  Sample sample;
  sample.text = "t";
  sample.number = -5;
  sample.count = 7;
  sample.big = 9;
  sample.small = -1;
  sample.flag = true;
  sample.tags = {"a", "b"};
  sample.pair = {"k", "v"};
  sample.pairs = {{"k1", "v1"}, {"k2", "v2"}};
  EXPECT_EQ(
      Render(sample),
      "{\"text\":\"t\",\"number\":-5,\"count\":7,\"big\":9,\"small\":-1,\"flag\":true,\"tags\":[\"a\",\"b\"],"
      "\"pair\":{\"key\":\"k\",\"value\":\"v\"},\"pairs\":[{\"key\":\"k1\",\"value\":\"v1\"},{\"key\":\"k2\","
      "\"value\":\"v2\"}]}");
}

TEST(JSONWrite, EmptyArraysAndDefaults) {
  Sample sample;
  EXPECT_EQ(Render(sample),
            "{\"text\":\"\",\"number\":0,\"count\":0,\"big\":0,\"small\":0,\"flag\":false,\"tags\":[],"
            "\"pair\":{\"key\":\"\",\"value\":\"\"},\"pairs\":[]}");
}

TEST(JSONWrite, IntegerKindsAtTheirLimits) {
  Sample sample;
  sample.number = std::numeric_limits<int32_t>::min();
  sample.count = 4294967295u;
  sample.big = 18446744073709551615ull;
  sample.small = std::numeric_limits<int16_t>::min();
  const std::string text = Render(sample);
  EXPECT_NE(text.find("\"number\":-2147483648,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"count\":4294967295,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"big\":18446744073709551615,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"small\":-32768,"), std::string::npos) << text;

  sample.number = std::numeric_limits<int32_t>::max();
  sample.small = std::numeric_limits<int16_t>::max();
  const std::string high = Render(sample);
  EXPECT_NE(high.find("\"number\":2147483647,"), std::string::npos) << high;
  EXPECT_NE(high.find("\"small\":32767,"), std::string::npos) << high;
}

TEST(JSONWrite, EscapesExactlyTheListedCharacters) {
  EXPECT_EQ(RenderText("a\"b\\c\t"), "{\"s\":\"a\\\"b\\\\c\\t\"}");
  EXPECT_EQ(RenderText("\x01"), "{\"s\":\"\\u0001\"}");
  EXPECT_EQ(RenderText("\b\f\n\r"), "{\"s\":\"\\b\\f\\n\\r\"}");
  EXPECT_EQ(RenderText("\x0b\x1f\x1a"), "{\"s\":\"\\u000B\\u001F\\u001A\"}");
  // Slash, DEL and UTF-8 (valid or not) pass unchanged.
  EXPECT_EQ(RenderText("/\x7f\xc3\xa9\xff"), "{\"s\":\"/\x7f\xc3\xa9\xff\"}");
}

TEST(JSONWrite, StringStopsAtAnEmbeddedNul) {
  EXPECT_EQ(RenderText(std::string("ab\0cd", 5)), "{\"s\":\"ab\"}");
}

TEST(JSONWrite, ArrayOfStringsKeepsOrderAndEscapes) {
  Sample sample;
  sample.tags = {"", "x\"y", std::string("z\0w", 3)};
  const std::string text = Render(sample);
  EXPECT_NE(text.find("\"tags\":[\"\",\"x\\\"y\",\"z\"]"), std::string::npos) << text;
}

TEST(JSONWrite, WriterOutputReadsBackIntoTheSameRecord) {
  Sample sample;
  sample.text = "caf\xc3\xa9 \"q\" \x01";
  sample.number = -123456;
  sample.count = 4000000000u;
  sample.big = 18446744073709551615ull;
  sample.small = -300;
  sample.flag = true;
  sample.tags = {"a", "b", "c"};
  sample.pair = {"pk", "pv"};
  sample.pairs = {{"1", "2"}, {"3", "4"}};
  const std::string text = Render(sample);
  Sample copy;
  JSONRead reader(text.c_str());
  copy.Transfer(reader);
  EXPECT_EQ(Render(copy), text);
}

TEST(JSONStreamWrite, ARefusedPieceFailsTheTextAndEndsTheWriting) {
  class RefusingSink : public JSONTextSink {
   public:
    bool Write(std::string_view) override { return ++pieces < 2; }
    int pieces = 0;
  } sink;
  Sample sample;
  sample.pairs.resize(100);
  JSONStreamWrite writer(sink, 16);
  sample.Transfer(writer);
  EXPECT_FALSE(writer.Finish());
  EXPECT_EQ(sink.pieces, 2);
}

TEST(JSONRead, LenientIntegers) {
  EXPECT_EQ(ReadField<int32_t>("\"12abc\""), 12);
  EXPECT_EQ(ReadField<int32_t>("\"  -7\""), -7);
  EXPECT_EQ(ReadField<int32_t>("\"\\t+8\""), 8);
  EXPECT_EQ(ReadField<int32_t>("\"abc\""), 0);
  EXPECT_EQ(ReadField<int32_t>("\"\""), 0);
  EXPECT_EQ(ReadField<int32_t>("3.9"), 3);
  EXPECT_EQ(ReadField<int32_t>("-3.9"), -3);
  EXPECT_EQ(ReadField<int32_t>("true", 5), 0);
  EXPECT_EQ(ReadField<int32_t>("null", 5), 0);
  EXPECT_EQ(ReadField<int32_t>("{}", 5), 0);
  EXPECT_EQ(ReadField<int32_t>("-2147483648"), std::numeric_limits<int32_t>::min());
  // Beyond 32 bits the low 32 bits are kept, as for text.
  EXPECT_EQ(ReadField<int32_t>("4294967295"), -1);
  EXPECT_EQ(ReadField<int32_t>("\"4294967295\""), -1);
  EXPECT_EQ(ReadField<int32_t>("\"4294967301\""), 5);
  // Doubles beyond 64 bits saturate instead of being undefined.
  EXPECT_EQ(ReadField<int32_t>("1e300"), -1);
}

TEST(JSONRead, LenientUnsigned) {
  EXPECT_EQ(ReadField<uint32_t>("4294967295"), 4294967295u);
  EXPECT_EQ(ReadField<uint32_t>("\"-1\""), 4294967295u);
  EXPECT_EQ(ReadField<uint32_t>("-1"), 4294967295u);
  EXPECT_EQ(ReadField<uint32_t>("7.99"), 7u);
  EXPECT_EQ(ReadField<uint32_t>("false", 3), 0u);
  EXPECT_EQ(ReadField<int16_t>("-1"), -1);
  EXPECT_EQ(ReadField<int16_t>("65535"), -1);
}

TEST(JSONRead, Unsigned64) {
  EXPECT_EQ(ReadField<uint64_t>("18446744073709551615"), 18446744073709551615ull);
  EXPECT_EQ(ReadField<uint64_t>("\"18446744073709551615\""), 18446744073709551615ull);
  EXPECT_EQ(ReadField<uint64_t>("\"18446744073709551616\""), 0ull);  // wraps
  EXPECT_EQ(ReadField<uint64_t>("\"-1\""), 18446744073709551615ull);
  EXPECT_EQ(ReadField<uint64_t>("12.7"), 12ull);
  // Nothing sensible to store: the field keeps its value.
  EXPECT_EQ(ReadField<uint64_t>("-1", 42), 42ull);
  EXPECT_EQ(ReadField<uint64_t>("-0.5", 42), 42ull);
  EXPECT_EQ(ReadField<uint64_t>("1e30", 42), 42ull);
  EXPECT_EQ(ReadField<uint64_t>("null", 42), 42ull);
  EXPECT_EQ(ReadField<uint64_t>("true", 42), 42ull);
  EXPECT_EQ(ReadField<uint64_t>("[]", 42), 42ull);
}

TEST(JSONRead, StringsFromEveryKind) {
  EXPECT_EQ(ReadField<std::string>("1"), "1");
  EXPECT_EQ(ReadField<std::string>("-1"), "-1");
  EXPECT_EQ(ReadField<std::string>("4294967295"), "4294967295");
  EXPECT_EQ(ReadField<std::string>("-4294967296"), "-4294967296");
  EXPECT_EQ(ReadField<std::string>("18446744073709551615"), "18446744073709551615");
  EXPECT_EQ(ReadField<std::string>("1.5"), "1.500000");
  EXPECT_EQ(ReadField<std::string>("1e300").size(), 301u + 7u);
  EXPECT_EQ(ReadField<std::string>("true"), "true");
  EXPECT_EQ(ReadField<std::string>("false"), "false");
  EXPECT_EQ(ReadField<std::string>("null", "x"), "");
  EXPECT_EQ(ReadField<std::string>("{}", "x"), "");
  EXPECT_EQ(ReadField<std::string>("[1]", "x"), "");
  EXPECT_EQ(ReadField<std::string>("\"a\\u0000b\""), std::string("a\0b", 3));
}

TEST(JSONRead, Booleans) {
  EXPECT_TRUE(ReadField<bool>("true"));
  EXPECT_FALSE(ReadField<bool>("false", true));
  EXPECT_TRUE(ReadField<bool>("\"true\""));
  EXPECT_FALSE(ReadField<bool>("\"True\"", true));
  EXPECT_FALSE(ReadField<bool>("\"1\"", true));
  EXPECT_TRUE(ReadField<bool>("2"));
  EXPECT_TRUE(ReadField<bool>("0.5"));
  EXPECT_FALSE(ReadField<bool>("0", true));
  EXPECT_TRUE(ReadField<bool>("18446744073709551615"));
  EXPECT_FALSE(ReadField<bool>("null", true));
  EXPECT_FALSE(ReadField<bool>("{}", true));
}

TEST(JSONRead, ArraysOfStrings) {
  using Strings = std::vector<std::string>;
  EXPECT_EQ(ReadField<Strings>("[\"a\",1,true,null]", Strings{"old"}), (Strings{"a", "1", "true", ""}));
  EXPECT_EQ(ReadField<Strings>("null", Strings{"old"}), Strings{});
  EXPECT_EQ(ReadField<Strings>("\"x\"", Strings{"old"}), Strings{"old"});
  EXPECT_EQ(ReadField<Strings>("{}", Strings{"old"}), Strings{"old"});
}

TEST(JSONRead, NestedRecordsAndArraysOfRecords) {
  Sample sample;
  sample.pairs = {{"keep", "me"}};
  JSONRead reader("{\"pair\":{\"value\":\"v\"},\"pairs\":[{\"key\":\"a\"},5,{\"value\":\"c\"}]}");
  sample.Transfer(reader);
  EXPECT_EQ(sample.pair.key, "");
  EXPECT_EQ(sample.pair.value, "v");
  ASSERT_EQ(sample.pairs.size(), 3u);
  EXPECT_EQ(sample.pairs[0].key, "a");
  EXPECT_EQ(sample.pairs[1].key, "");  // not an object: defaults
  EXPECT_EQ(sample.pairs[2].value, "c");

  Sample other;
  other.pairs = {{"keep", "me"}};
  JSONRead not_arrays("{\"pair\":[1],\"pairs\":\"x\"}");
  other.pair.key = "k";
  other.Transfer(not_arrays);
  EXPECT_EQ(other.pair.key, "k");
  ASSERT_EQ(other.pairs.size(), 1u);

  JSONRead null_array("{\"pairs\":null}");
  other.Transfer(null_array);
  EXPECT_TRUE(other.pairs.empty());
}

TEST(JSONRead, FirstOfTwoEqualKeysAndCaseSensitive) {
  Sample sample;
  JSONRead reader("{\"number\":1,\"number\":2,\"TEXT\":\"no\"}");
  sample.Transfer(reader);
  EXPECT_EQ(sample.number, 1);
  EXPECT_EQ(sample.text, "");
}

TEST(JSONRead, TextThatDoesNotParseLeavesEveryField) {
  for (const char* text : {"[1,2]", "{\"number\":5} {}", "{", "", "   ", "{\"number\":5} x", "nul"}) {
    Sample sample;
    sample.number = 9;
    sample.text = "keep";
    sample.tags = {"t"};
    JSONRead reader(text);
    sample.Transfer(reader);
    EXPECT_EQ(sample.number, 9) << text;
    EXPECT_EQ(sample.text, "keep") << text;
    EXPECT_EQ(sample.tags.size(), 1u) << text;
    EXPECT_FALSE(reader.DidReadLastField()) << text;
  }
  JSONRead whitespace(" \t\r\n{\"number\":5}\r\n ");
  Sample sample;
  sample.Transfer(whitespace);
  EXPECT_EQ(sample.number, 5);
}

TEST(JSONRead, RecordsWhetherTheLastKeyWasFound) {
  JSONRead reader("{\"a\":1}");
  int32_t value = 0;
  reader.Transfer(value, "a");
  EXPECT_TRUE(reader.DidReadLastField());
  reader.Transfer(value, "b");
  EXPECT_FALSE(reader.DidReadLastField());
}

TEST(JSONRead, DeepNestingDoesNotExhaustTheStack) {
  const std::string deep = "{\"pair\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
  Sample sample;
  JSONRead reader(deep.c_str());
  EXPECT_TRUE(reader.IsValid());
  sample.Transfer(reader);
  EXPECT_EQ(sample.pair.key, "");
}

TEST(ParseLenientDecimal, Rules) {
  EXPECT_EQ(ParseLenientDecimal(""), 0u);
  EXPECT_EQ(ParseLenientDecimal(" \x0b\x0c+12x3"), 12u);
  EXPECT_EQ(ParseLenientDecimal("-"), 0u);
  EXPECT_EQ(ParseLenientDecimal("+-1"), 0u);
  EXPECT_EQ(ParseLenientDecimal("-5"), static_cast<uint64_t>(-5));
  EXPECT_EQ(ParseLenientDecimal("99999999999999999999"), 7766279631452241919ull);  // wrapped
}

std::string TempPath(const char* name) { return test::TempFilePath(std::string("store_json_") + name); }
using test::ReadBytes;
using test::WriteBytes;

TEST(JSONDocument, ParseSetAndRewriteAFile) {
  const std::string path = TempPath("rewrite");
  WriteBytes(
      path,
      "{ \"msg\" : { \"eventData\" : { \"value\" : 0, \"other\" : 1 } },\n \"x\" : [1, 2.5, \"\\u0001\"] }");
  JSONDocument document;
  ASSERT_TRUE(document.ParseFile(path));
  JSONNode value = document.Root().Member("msg").Member("eventData").Member("value");
  ASSERT_TRUE(value.IsValid());
  EXPECT_TRUE(value.SetString("abc\"d"));
  EXPECT_TRUE(document.WriteFile(path));
  EXPECT_EQ(ReadBytes(path),
            "{\"msg\":{\"eventData\":{\"value\":\"abc\\\"d\",\"other\":1}},\"x\":[1,2.5,\"\\u0001\"]}");
  std::remove(path.c_str());
}

TEST(JSONDocument, LookupsFailOnMissingMembersAndNonObjects) {
  JSONDocument document;
  ASSERT_TRUE(document.ParseText("{\"msg\":[1],\"a\":{\"b\":null}}"));
  EXPECT_FALSE(document.Root().Member("msg").Member("eventData").IsValid());
  EXPECT_FALSE(document.Root().Member("nope").IsValid());
  EXPECT_TRUE(document.Root().Member("a").Member("b").IsValid());
  EXPECT_FALSE(document.Root().Member("a").Member("b").IsObject());
  EXPECT_FALSE(JSONNode().SetString("x"));
}

TEST(JSONDocument, FilesThatDoNotParse) {
  const std::string path = TempPath("bad");
  for (const std::string& text : {std::string("{\"a\":1} x"), std::string("{\"a\":"), std::string(""),
                                  std::string("{\"a\":1}\0junk", 12)}) {
    WriteBytes(path, text);
    JSONDocument document;
    EXPECT_FALSE(document.ParseFile(path)) << text;
    EXPECT_FALSE(document.Root().IsValid());
  }
  std::remove(path.c_str());
  JSONDocument missing;
  EXPECT_FALSE(missing.ParseFile(path));
}

TEST(JSONDocument, LargeFileCrossesTheReadBuffer) {
  const std::string path = TempPath("large");
  std::string text = "{\"pad\":\"" + std::string(200000, 'p') + "\",\"msg\":{\"eventData\":{\"value\":1}}}";
  WriteBytes(path, text);
  JSONDocument document;
  ASSERT_TRUE(document.ParseFile(path));
  ASSERT_TRUE(document.Root().Member("msg").Member("eventData").Member("value").SetString("h"));
  EXPECT_TRUE(document.WriteFile(path));
  text.replace(text.size() - 4, 1, "\"h\"");
  EXPECT_EQ(ReadBytes(path), text);
  std::remove(path.c_str());
}

TEST(JSONDocument, DeeplyNestedFileRoundTrips) {
  const std::string path = TempPath("deep");
  const std::string text = "{\"d\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  WriteBytes(path, text);
  JSONDocument document;
  ASSERT_TRUE(document.ParseFile(path));
  EXPECT_TRUE(document.WriteFile(path));
  EXPECT_EQ(ReadBytes(path), text);
  std::remove(path.c_str());
}

TEST(JSONDocument, WritingIntoAMissingFolderFails) {
  JSONDocument document;
  ASSERT_TRUE(document.ParseText("{}"));
  EXPECT_FALSE(document.WriteFile(TempPath("no_folder/x.json")));
}

}  // namespace
}  // namespace nelko
