#include "ui/bug_reporter_template.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/support/diag_capture.h"

namespace nelko {
namespace {

// Test texts are ASCII: each byte is one unit.
std::wstring Widen(std::string_view text) { return std::wstring(text.begin(), text.end()); }

std::string Meta(std::string line, const TextMap& metadata) {
  EXPECT_TRUE(ExpandMetadataTokens(line, metadata));
  return line;
}

std::wstring Attach(std::wstring line, const AttachmentList& files) {
  EXPECT_TRUE(ExpandAttachFileToken(line, files));
  return line;
}

// --- ReplaceAll ---

TEST(ReplaceAllTest, ReplacesEveryOccurrenceNarrowAndWide) {
  std::string narrow = "<v> and <v><v>";
  ReplaceAll(narrow, "<v>", "1");
  EXPECT_EQ(narrow, "1 and 11");
  std::wstring wide = L"<v> and <v><v>";
  ReplaceAll(wide, L"<v>", L"22");
  EXPECT_EQ(wide, L"22 and 2222");
}

TEST(ReplaceAllTest, LeavesTextWithoutTheTokenAlone) {
  std::string text = "nothing here <V>";
  ReplaceAll(text, "<v>", "x");
  EXPECT_EQ(text, "nothing here <V>");
}

TEST(ReplaceAllTest, OccurrencesDoNotOverlap) {
  std::string text = "aaaaa";
  ReplaceAll(text, "aa", "b");
  EXPECT_EQ(text, "bba");
}

TEST(ReplaceAllTest, AValueHoldingItsOwnTokenIsNotExpandedAgain) {
  std::string text = "<t>-<t>";
  ReplaceAll(text, "<t>", "<<t>>");
  EXPECT_EQ(text, "<<t>>-<<t>>");
  std::wstring wide = L"<t>";
  ReplaceAll(wide, L"<t>", L"<t><t>");
  EXPECT_EQ(wide, L"<t><t>");
}

TEST(ReplaceAllTest, AnEmptyTokenChangesNothing) {
  std::string text = "abc";
  ReplaceAll(text, "", "x");
  EXPECT_EQ(text, "abc");
  std::wstring wide = L"abc";
  ReplaceAll(wide, L"", L"x");
  EXPECT_EQ(wide, L"abc");
}

TEST(ReplaceAllTest, AnEmptyValueRemovesTheToken) {
  std::string text = "a<t>b<t>";
  ReplaceAll(text, "<t>", "");
  EXPECT_EQ(text, "ab");
}

TEST(ReplaceAllTest, WithinALimitAResultLongerThanItLeavesTheTextAlone) {
  std::string text = "a<t>b<t>";
  EXPECT_FALSE(ReplaceAllWithin(text, "<t>", "1234", 9));
  EXPECT_EQ(text, "a<t>b<t>");
  EXPECT_TRUE(ReplaceAllWithin(text, "<t>", "1234", 10));
  EXPECT_EQ(text, "a1234b1234");
  // Shrinking is always within; a text already beyond the limit never is.
  EXPECT_TRUE(ReplaceAllWithin(text, "1234", "", 10));
  EXPECT_EQ(text, "ab");
  EXPECT_FALSE(ReplaceAllWithin(text, "x", "", 1));
  // A count times a size beyond any memory is refused, not attempted.
  std::wstring wide(100000, L'x');
  const std::wstring huge(1 << 20, L'v');
  EXPECT_FALSE(ReplaceAllWithin(wide, L"x", huge, kMaxCommandLineUnits));
  EXPECT_EQ(wide.size(), 100000u);
}

// --- Metadata tokens ---

TEST(MetadataTokenTest, ARepeatedKeyExpandsEverywhere) {
  test::DiagCapture output;
  EXPECT_EQ(Meta("<meta:A> <meta:A>", {{"A", "1"}}), "1 1");
  EXPECT_EQ(output.Take(), "");
}

TEST(MetadataTokenTest, AMissingKeyExpandsToNothingWithOneWarning) {
  test::DiagCapture output;
  EXPECT_EQ(Meta("<meta:A> <meta:A>", {{"B", "1"}}), " ");
  EXPECT_EQ(output.Take(), "Warning: couldn't find metadata 'A'\n");
}

TEST(MetadataTokenTest, KeysAreLookedUpInOrderOfAppearance) {
  test::DiagCapture output;
  EXPECT_EQ(Meta("--id <meta:zz> --b <meta:B> --a <meta:aa>", {{"B", "2"}}), "--id  --b 2 --a ");
  EXPECT_EQ(output.Take(),
            "Warning: couldn't find metadata 'zz'\n"
            "Warning: couldn't find metadata 'aa'\n");
}

TEST(MetadataTokenTest, KeysAreCaseSensitive) {
  test::DiagCapture output;
  EXPECT_EQ(Meta("<meta:key>", {{"Key", "no"}, {"key", "yes"}}), "yes");
}

TEST(MetadataTokenTest, AValueHoldingATokenIsExpandedByALaterPass) {
  test::DiagCapture output;
  EXPECT_EQ(Meta("[<meta:A>]", {{"A", "x<meta:B>y"}, {"B", "2"}}), "[x2y]");
  EXPECT_EQ(Meta("<meta:A>", {{"A", "<meta:B>"}, {"B", "<meta:C>"}, {"C", "deep"}}), "deep");
  EXPECT_EQ(output.Take(), "");
}

TEST(MetadataTokenTest, AKeyBroughtBackByALaterValueIsExpandedAgain) {
  test::DiagCapture output;
  // B is expanded first; A's value then brings a <meta:B> back.
  EXPECT_EQ(Meta("<meta:B> <meta:A>", {{"A", "<meta:B>"}, {"B", "v"}}), "v v");
  EXPECT_EQ(output.Take(), "");
}

TEST(MetadataTokenTest, ATokenFormedAcrossAValueIsExpanded) {
  test::DiagCapture output;
  // Each pass searches the whole line again.
  EXPECT_EQ(Meta("<meta:A>B>", {{"A", "<meta:"}, {"B", "z"}}), "z");
}

TEST(MetadataTokenTest, TextsThatAreNotTokensPassUnchanged) {
  test::DiagCapture output;
  const TextMap metadata = {{"A", "1"}, {"build", "b"}};
  for (const char* line : {"<meta:build-id>", "<meta:>", "<Meta:A>", "<meta:A", "<meta:A >", "<meta: A>",
                           "<meta:\xC3\xA9>", "meta:A>", "<meta::A>", "<meta:A.B>"}) {
    EXPECT_EQ(Meta(line, metadata), line);
  }
  EXPECT_EQ(output.Take(), "");
}

TEST(MetadataTokenTest, ATokenAfterAFalseStartIsFound) {
  test::DiagCapture output;
  // The expanded value forms a new token, <meta:1>, which has no value.
  EXPECT_EQ(Meta("<meta:<meta:A>> <meta:x-<meta:A>", {{"A", "1"}}), " <meta:x-1");
  EXPECT_EQ(output.Take(), "Warning: couldn't find metadata '1'\n");
}

TEST(MetadataTokenTest, WordCharactersAreLettersDigitsAndUnderscore) {
  test::DiagCapture output;
  EXPECT_EQ(Meta("<meta:Build_ID_09>", {{"Build_ID_09", "ok"}}), "ok");
  const MetadataToken token = FindMetadataToken("x <meta:a_1> y");
  EXPECT_EQ(token.position, 2u);
  EXPECT_EQ(token.length, 10u);
  EXPECT_EQ(token.key, "a_1");
  EXPECT_EQ(FindMetadataToken("<meta:a>", 1).position, std::string::npos);
}

TEST(MetadataTokenTest, AValueHoldingItsOwnTokenEnds) {
  test::DiagCapture output;
  const std::string line = Meta("<meta:A>", {{"A", "x<meta:A>"}});
  EXPECT_EQ(line, std::string(kMaxMetadataPasses, 'x') + "<meta:A>");
  EXPECT_EQ(output.Take(), "Warning: metadata values refer to each other; tokens left after 1024 passes\n");
}

TEST(MetadataTokenTest, ValuesReferringToEachOtherInACycleEnd) {
  test::DiagCapture output;
  const std::string line = Meta("<meta:A>", {{"A", "<meta:B>"}, {"B", "<meta:A>"}});
  EXPECT_EQ(line, "<meta:A>");
  EXPECT_EQ(output.Take(), "Warning: metadata values refer to each other; tokens left after 1024 passes\n");
}

// Found by fuzzing: a long line whose values keep bringing their tokens back
// took a thousand passes over its full length.
TEST(MetadataTokenTest, ALongLineThatKeepsItsTokensEndsWithinTheWorkBound) {
  test::DiagCapture output;
  const std::string filler(90000, 'f');
  std::string line = filler + "<meta:A>";
  EXPECT_TRUE(ExpandMetadataTokens(line, {{"A", "x<meta:A>"}}));
  // Each pass reads the line as it stands, one byte longer each time.
  int passes = 0;
  for (size_t work = filler.size() + 8; work <= kMaxMetadataWorkBytes; work += filler.size() + 8 + passes)
    ++passes;
  EXPECT_LT(passes, kMaxMetadataPasses);
  EXPECT_EQ(line, filler + std::string(passes, 'x') + "<meta:A>");
  EXPECT_EQ(output.Take(), "Warning: metadata values refer to each other; tokens left after " +
                               std::to_string(passes) + " passes\n");
}

TEST(MetadataTokenTest, AValueThatDoublesTheLineStopsAtTheSizeLimit) {
  test::DiagCapture output;
  std::string line = "<meta:A>";
  EXPECT_FALSE(ExpandMetadataTokens(line, {{"A", "<meta:A><meta:A>"}}));
  EXPECT_LE(line.size(), kMaxExpandedTemplateBytes);
  EXPECT_EQ(output.Take(), "");
}

TEST(MetadataTokenTest, AVeryLongKeyIsMatched) {
  test::DiagCapture output;
  const std::string key(50000, 'k');
  EXPECT_EQ(Meta("a <meta:" + key + "> b", {{key, "v"}}), "a v b");
}

// --- Plain tokens ---

TEST(PlainTokenTest, EachTokenTakesItsSetting) {
  SessionSettings settings;
  settings.app_name = "Game";
  settings.vendor = "Acme";
  settings.info = "1.2.3";
  settings.crash_report_path = "C:\\reports";
  std::string line = "<appName>|<vendor>|<version>|<crashReportPath>|<crashReportHash>";
  ExpandPlainTokens(line, settings, std::string(64, 'a'));
  EXPECT_EQ(line, "Game|Acme|1.2.3|C:\\reports|" + std::string(64, 'a'));
}

TEST(PlainTokenTest, TheHashIsEmptyWhenThereIsNone) {
  SessionSettings settings;
  std::string line = "--hash=<crashReportHash>.";
  ExpandPlainTokens(line, settings, "");
  EXPECT_EQ(line, "--hash=.");
}

TEST(PlainTokenTest, TokenNamesAreCaseSensitive) {
  SessionSettings settings;
  settings.info = "9";
  std::string line = "<Version> <VERSION> <version> <app_name> <appname>";
  ExpandPlainTokens(line, settings, "");
  EXPECT_EQ(line, "<Version> <VERSION> 9 <app_name> <appname>");
}

TEST(PlainTokenTest, LaterStepsSeeWhatEarlierStepsInserted) {
  SessionSettings settings;
  settings.app_name = "by <vendor>";
  settings.vendor = "Acme <appName>";
  std::string line = "<appName>";
  ExpandPlainTokens(line, settings, "");
  // <vendor> comes after <appName>: the vendor's own <appName> stays.
  EXPECT_EQ(line, "by Acme <appName>");
}

TEST(PlainTokenTest, AValueHoldingItsOwnTokenEnds) {
  SessionSettings settings;
  settings.app_name = "<appName><appName>";
  settings.info = "<version>";
  std::string line = "<appName> <version>";
  ExpandPlainTokens(line, settings, "");
  EXPECT_EQ(line, "<appName><appName> <version>");
}

// --- Attached files ---

TEST(AttachFileTokenTest, OneItemPerFileJoinedBySpaces) {
  EXPECT_EQ(Attach(L"reporter.exe <attachFile:--file \"<file>\">", {L"C:\\a\\x.log", L"C:\\a\\y.txt"}),
            L"reporter.exe --file \"C:\\a\\x.log\" --file \"C:\\a\\y.txt\"");
}

TEST(AttachFileTokenTest, AnEmptyListRemovesTheToken) {
  EXPECT_EQ(Attach(L"reporter.exe <attachFile:--file \"<file>\">", {}), L"reporter.exe ");
}

TEST(AttachFileTokenTest, TheMinidumpAloneGivesOneItem) {
  EXPECT_EQ(Attach(L"r.exe <attachFile:-f <file>> --go", {L"C:\\Crash_1\\crash.dmp"}),
            L"r.exe -f C:\\Crash_1\\crash.dmp --go");
}

TEST(AttachFileTokenTest, EveryFileMarkerOfTheItemIsReplaced) {
  EXPECT_EQ(Attach(L"<attachFile:<file>=<file>>", {L"a", L"b"}), L"a=a b=b");
}

TEST(AttachFileTokenTest, TheItemRunsToTheLastCloseOfTheLine) {
  EXPECT_EQ(Attach(L"r <attachFile:[<file>]> tail>", {L"a"}), L"r [a]> tail");
  // Only the first token is expanded; greedily it swallows the second.
  EXPECT_EQ(Attach(L"<attachFile:a<file>> <attachFile:b<file>>", {L"1"}), L"a1> <attachFile:b1");
}

TEST(AttachFileTokenTest, ALineBreakEndsTheItem) {
  EXPECT_EQ(Attach(L"<attachFile:a<file>>\n<attachFile:b<file>>", {L"1", L"2"}),
            L"a1 a2\n<attachFile:b<file>>");
  EXPECT_EQ(Attach(L"<attachFile:a\n<file>>", {L"1"}), L"<attachFile:a\n<file>>");
  EXPECT_EQ(Attach(L"<attachFile:a<file>\n>", {L"1"}), L"<attachFile:a<file>\n>");
}

TEST(AttachFileTokenTest, AFalseStartBeforeALineBreakDoesNotHideALaterToken) {
  EXPECT_EQ(Attach(L"<attachFile:none>\r\n<attachFile:x<file>>", {L"1"}), L"<attachFile:none>\r\nx1");
}

TEST(AttachFileTokenTest, TextsThatAreNotTokensPassUnchanged) {
  for (const wchar_t* line :
       {L"<attachFile:xyz>", L"<attachFile:<file>", L"<attachFile:<file", L"<AttachFile:<file>>",
        L"<attachFile <file>>", L"attachFile:<file>>", L"<attachFile:<fil>e>>"}) {
    EXPECT_EQ(Attach(line, {L"p"}), line);
  }
}

TEST(AttachFileTokenTest, PathsAreInsertedAsTheyAre) {
  // A path holding marker texts is not searched again.
  EXPECT_EQ(Attach(L"<attachFile:<file>>", {L"<file>", L"<attachFile:<file>>"}),
            L"<file> <attachFile:<file>>");
  EXPECT_EQ(Attach(L"<attachFile:\"<file>\">", {L"C:\\with space\\a b.txt"}), L"\"C:\\with space\\a b.txt\"");
}

TEST(AttachFileTokenTest, EveryOccurrenceOfTheWholeTokenIsReplaced) {
  // The first line's token also stands, as the same text, on the second line.
  EXPECT_EQ(Attach(L"<attachFile:<file>>\n<attachFile:<file>>", {L"1"}), L"1\n1");
}

TEST(AttachFileTokenTest, AVeryLongLineIsMatched) {
  const std::wstring tail(100000, L'a');
  const AttachFileToken token = FindAttachFileToken(L"r <attachFile:<file>" + tail + L">");
  EXPECT_EQ(token.position, 2u);
  EXPECT_EQ(token.length, 19 + tail.size());
  EXPECT_EQ(token.item_length, 6 + tail.size());
  // Expanded, so long a line is no command line.
  std::wstring line = L"r <attachFile:<file>" + tail + L">";
  EXPECT_FALSE(ExpandAttachFileToken(line, {L"1"}));
}

// The hand-made matchers give the regular expressions' results.
TEST(TokenMatcherTest, AgreesWithTheRegularExpressions) {
  const std::wregex attach(L"<attachFile:(.*<file>.*)>");
  for (const wchar_t* line :
       {L"r <attachFile:--f \"<file>\">", L"<attachFile:<file>> x > y", L"<attachFile:<file>",
        L"a <attachFile:>", L"<attachFile:<file>>\n<attachFile:q<file>>",
        L"<attachFile:none>\n<attachFile:q<file>> >", L"<attachFile:<attachFile:<file>>",
        L"x<attachFile:a<file>b<file>c>d>e", L"<attachFile:<file>>>", L"<attachFile:\r<file>>", L"",
        L"<<<attachFile:<file>>>"}) {
    std::wcmatch match;
    const bool found = std::regex_search(line, match, attach);
    const AttachFileToken token = FindAttachFileToken(line);
    ASSERT_EQ(found, token.position != std::wstring::npos) << static_cast<int>(std::wstring(line).size());
    if (!found) continue;
    EXPECT_EQ(static_cast<size_t>(match.position(0)), token.position);
    EXPECT_EQ(static_cast<size_t>(match.length(0)), token.length);
    EXPECT_EQ(static_cast<size_t>(match.position(1)), token.item_position);
    EXPECT_EQ(static_cast<size_t>(match.length(1)), token.item_length);
  }
  const std::regex meta("<meta:(\\w+)>");
  for (const char* line : {"<meta:A>", "x<meta:>y<meta:b_2>", "<meta:a-b><meta:c>", "<meta:<meta:d>>",
                           "<meta:e", "<meta:\xC3\xA9><meta:f>", "", "<<meta:g>>"}) {
    std::cmatch match;
    const bool found = std::regex_search(line, match, meta);
    const MetadataToken token = FindMetadataToken(line);
    ASSERT_EQ(found, token.position != std::string::npos) << line;
    if (!found) continue;
    EXPECT_EQ(static_cast<size_t>(match.position(0)), token.position);
    EXPECT_EQ(static_cast<size_t>(match.length(0)), token.length);
    EXPECT_EQ(match.str(1), token.key);
  }
}

// --- The whole expansion ---

class BugReporterTemplateTest : public ::testing::Test {
 protected:
  std::wstring Expand(const std::string& command_template, const AttachmentList& files = {},
                      std::string_view hash = "") {
    return ExpandBugReporterTemplate(command_template, settings_, files, hash, &Widen);
  }
  test::DiagCapture output_;
  SessionSettings settings_;
};

TEST_F(BugReporterTemplateTest, ATemplateWithoutTokensIsUsedUnchanged) {
  EXPECT_EQ(Expand("C:/tools/reporter.exe --quiet <b> a>b"), L"C:/tools/reporter.exe --quiet <b> a>b");
  EXPECT_EQ(output_.Take(), "");
}

TEST_F(BugReporterTemplateTest, EveryTokenInOneTemplate) {
  settings_.metadata = {{"buildId", "b-<appName>"}, {"ReportJson", "{}"}};
  settings_.user_metadata = {{"user", "not for the reporter"}};
  settings_.app_name = "Game";
  settings_.vendor = "Acme";
  settings_.info = "1.2.3";
  settings_.crash_report_path = "C:\\r";
  const std::string hash(64, 'f');
  EXPECT_EQ(Expand("\"C:\\bug reporter.exe\" --build <meta:buildId> --user <meta:user> --app \"<appName>\" "
                   "--vendor <vendor> --version <version> --path <crashReportPath> --hash <crashReportHash> "
                   "<attachFile:--attach \"<file>\">",
                   {L"C:\\r\\Crash_1\\crash.dmp", L"C:\\r\\Crash_1\\log.txt"}, hash),
            L"\"C:\\bug reporter.exe\" --build b-Game --user  --app \"Game\" --vendor Acme --version 1.2.3 "
            L"--path C:\\r --hash ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff "
            L"--attach \"C:\\r\\Crash_1\\crash.dmp\" --attach \"C:\\r\\Crash_1\\log.txt\"");
  EXPECT_EQ(output_.Take(), "Warning: couldn't find metadata 'user'\n");
}

TEST_F(BugReporterTemplateTest, ValuesAreSeenByTheAttachedFileStep) {
  // A value may carry the attached-file token; it is expanded like the template's own.
  settings_.metadata = {{"files", "<attachFile:<file>>"}};
  EXPECT_EQ(Expand("r <meta:files>", {L"a", L"b"}), L"r a b");
}

// No command line holds more than 32767 units: every step stops short of
// that, and the line then is empty and reported too long.
TEST_F(BugReporterTemplateTest, EveryStepStopsAtTheCommandLineLimit) {
  bool too_long = false;
  const std::string big(1 << 20, 'n');
  std::string repeated;
  for (int i = 0; i < 4000; ++i) repeated += "<appName><version>";
  struct Case {
    const char* what;
    std::string command_template;
    std::string app_name;
    TextMap metadata;
    AttachmentList files;
  };
  const Case cases[] = {
      {"a large name many times", repeated, big, {}, {}},
      {"a template beyond the limit", std::string(kMaxExpandedTemplateBytes + 1, 't'), "", {}, {}},
      {"metadata doubling itself", "<meta:A>", "", {{"A", "<meta:A><meta:A>"}}, {}},
      {"many long files",
       "r <attachFile:--file \"<file>\">",
       "",
       {},
       AttachmentList(5000, std::wstring(300, L'f'))},
      {"one file beyond it", "<attachFile:<file>>", "", {}, {std::wstring(kMaxCommandLineUnits + 1, L'f')}},
  };
  for (const Case& c : cases) {
    settings_.app_name = c.app_name;
    settings_.metadata = c.metadata;
    EXPECT_EQ(ExpandBugReporterTemplate(c.command_template, settings_, c.files, "", &Widen, &too_long), L"")
        << c.what;
    EXPECT_TRUE(too_long) << c.what;
  }
  output_.Take();
  // Exactly at the limit is still a command line.
  settings_.app_name = std::string(kMaxCommandLineUnits - 2, 'a');
  const std::wstring line = ExpandBugReporterTemplate("r <appName>", settings_, {}, "", &Widen, &too_long);
  EXPECT_FALSE(too_long);
  EXPECT_EQ(line.size(), kMaxCommandLineUnits);
  settings_.app_name += 'a';
  EXPECT_EQ(ExpandBugReporterTemplate("r <appName>", settings_, {}, "", &Widen, &too_long), L"");
  EXPECT_TRUE(too_long);
}

TEST_F(BugReporterTemplateTest, TheSettingsAreNotChanged) {
  settings_.metadata = {{"A", "<meta:B>"}, {"B", "b"}};
  settings_.app_name = "<appName>";
  Expand("<meta:A> <appName>");
  EXPECT_EQ(settings_.metadata.at("A"), "<meta:B>");
  EXPECT_EQ(settings_.app_name, "<appName>");
}

}  // namespace
}  // namespace nelko
