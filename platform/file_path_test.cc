// The path rules of the file layer: layer form, join, parent folder, and
// the text handed to the system.
#include "platform/file_path.h"

#include <gtest/gtest.h>

#include <string>

namespace nelko {
namespace {

TEST(LayerPath, BackslashesBecomeSlashes) {
  EXPECT_EQ(ToLayerPath("C:\\Users\\me\\AppData\\x.json"), "C:/Users/me/AppData/x.json");
  EXPECT_EQ(ToLayerPath("a/b\\c"), "a/b/c");
}

TEST(LayerPath, UncServerPartKeepsItsBackslashes) {
  EXPECT_EQ(ToLayerPath("\\\\server\\share\\dir\\f.txt"), "\\\\server\\share/dir/f.txt");
  EXPECT_EQ(ToLayerPath("\\\\server"), "\\\\server");
  EXPECT_EQ(ToLayerPath("\\\\server\\"), "\\\\server\\");
}

TEST(LayerPath, LongPathIsCutTo1039Bytes) {
  const std::string long_path(1100, 'p');
  EXPECT_EQ(ToLayerPath(long_path), std::string(1039, 'p'));
  EXPECT_EQ(ToLayerPath(std::string(1039, 'q')).size(), 1039u);
}

TEST(JoinPath, OneSlashBetweenTheParts) {
  EXPECT_EQ(JoinPath("C:/a", "b"), "C:/a/b");
  EXPECT_EQ(JoinPath("C:/a/", "b"), "C:/a/b");
  EXPECT_EQ(JoinPath("C:/a", "/b"), "C:/a/b");
  EXPECT_EQ(JoinPath("C:/a/", "/b"), "C:/a/b");
  EXPECT_EQ(JoinPath("C:/a", ""), "C:/a");
  EXPECT_EQ(JoinPath("", "b"), "b");
  EXPECT_EQ(JoinPath("", ""), "");
}

TEST(ParentFolder, ExamplesOfTheLayer) {
  EXPECT_EQ(ParentFolder("C:/A/B/app.exe"), "C:/A/B");
  EXPECT_EQ(ParentFolder("C:/A/B/"), "C:/A");
  EXPECT_EQ(ParentFolder("/app.exe"), "/");
  EXPECT_EQ(ParentFolder("app.exe"), "");
}

TEST(ParentFolder, RunsOfSlashes) {
  EXPECT_EQ(ParentFolder("C:/A//B.exe"), "C:/A");
  EXPECT_EQ(ParentFolder("C:/A/B///"), "C:/A");
  EXPECT_EQ(ParentFolder("//app.exe"), "/");
  EXPECT_EQ(ParentFolder("///"), "");
  EXPECT_EQ(ParentFolder(""), "");
  EXPECT_EQ(ParentFolder("\\\\server\\share/f.txt"), "\\\\server\\share");
}

TEST(IsAbsolutePath, DriveOrLeadingSeparator) {
  EXPECT_TRUE(IsAbsolutePath("C:"));
  EXPECT_TRUE(IsAbsolutePath("C:/x"));
  EXPECT_TRUE(IsAbsolutePath("/x"));
  EXPECT_TRUE(IsAbsolutePath("\\x"));
  EXPECT_FALSE(IsAbsolutePath("x"));
  EXPECT_FALSE(IsAbsolutePath("x/y:"));
  EXPECT_FALSE(IsAbsolutePath(""));
}

TEST(SystemPath, ShortPathGetsBackslashesOnly) {
  bool full = true;
  EXPECT_EQ(ToSystemPathUtf8("C:/Users/me/AppData/x.json", &full), "C:\\Users\\me\\AppData\\x.json");
  EXPECT_FALSE(full);
}

TEST(SystemPath, PrefixFrom248Bytes) {
  bool full = true;
  const std::string at247 = "C:/" + std::string(244, 'd');
  ASSERT_EQ(at247.size(), 247u);
  EXPECT_EQ(ToSystemPathUtf8(at247, &full), "C:\\" + std::string(244, 'd'));
  EXPECT_FALSE(full);

  const std::string at248 = at247 + "e";
  EXPECT_EQ(ToSystemPathUtf8(at248, &full), "\\\\?\\C:\\" + std::string(244, 'd') + "e");
  EXPECT_TRUE(full);
}

TEST(SystemPath, LongUncPathUsesTheUncPrefix) {
  bool full = false;
  const std::string unc = "\\\\server\\share/" + std::string(240, 'f');
  EXPECT_EQ(ToSystemPathUtf8(unc, &full), "\\\\?\\UNC\\server\\share\\" + std::string(240, 'f'));
  EXPECT_TRUE(full);
}

}  // namespace
}  // namespace nelko
