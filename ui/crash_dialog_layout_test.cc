#include "ui/crash_dialog_layout.h"

#include <gtest/gtest.h>

#include <string>

namespace nelko {
namespace {

CrashDialogLayout LayOutAt(float scale, PixelSize app_icon, PixelSize badge) {
  return LayOutCrashDialog(ScalePixels(scale, kCrashDialogWidth), ScalePixels(scale, kCrashDialogBarHeight),
                           ScalePixels(scale, kCrashDialogMargin), app_icon, badge);
}

void ExpectRect(const PixelRect& rect, int left, int top, int width, int height) {
  EXPECT_EQ(rect.left, left);
  EXPECT_EQ(rect.top, top);
  EXPECT_EQ(rect.width, width);
  EXPECT_EQ(rect.height, height);
}

TEST(CrashDialogScaleTest, IsTheDpiOver96) {
  EXPECT_EQ(DisplayScale(96), 1.0f);
  EXPECT_EQ(DisplayScale(120), 1.25f);
  EXPECT_EQ(DisplayScale(144), 1.5f);
  EXPECT_EQ(DisplayScale(192), 2.0f);
  // A window whose DPI cannot be told is drawn at 96.
  EXPECT_EQ(DisplayScale(0), 1.0f);
}

TEST(CrashDialogScaleTest, PixelSizesAreTruncated) {
  EXPECT_EQ(ScalePixels(1.5f, kCrashDialogMargin), 37);
  EXPECT_EQ(ScalePixels(1.25f, kCrashDialogBarHeight), 10);
  EXPECT_EQ(ScalePixels(1.25f, kCrashDialogMargin), 31);
  EXPECT_EQ(ScalePixels(2.0f, kCrashDialogAppIconSize), 256);
  EXPECT_EQ(ScalePixels(2.0f, kCrashDialogBadgeSize), 64);
}

TEST(CrashDialogLayoutTest, At96DpiWithTheBuiltInIcons) {
  const CrashDialogLayout layout = LayOutAt(1.0f, {128, 128}, {32, 32});
  ExpectRect(layout.app_icon, 131, 25, 128, 128);
  ExpectRect(layout.badge, 131, 25, 32, 32);
  ExpectRect(layout.bar, 25, 178, 340, 8);
  EXPECT_EQ(layout.bar.right(), 365);
  EXPECT_EQ(layout.bar.bottom(), 186);
  ExpectRect(layout.client, 0, 0, 390, 211);
}

TEST(CrashDialogLayoutTest, At192DpiEverythingDoubles) {
  const float scale = DisplayScale(192);
  const CrashDialogLayout layout = LayOutAt(scale, {ScalePixels(scale, 128), ScalePixels(scale, 128)},
                                            {ScalePixels(scale, 32), ScalePixels(scale, 32)});
  ExpectRect(layout.app_icon, 262, 50, 256, 256);
  ExpectRect(layout.badge, 262, 50, 64, 64);
  ExpectRect(layout.bar, 50, 356, 680, 16);
  ExpectRect(layout.client, 0, 0, 780, 422);
}

TEST(CrashDialogLayoutTest, At144Dpi) {
  const CrashDialogLayout layout = LayOutAt(1.5f, {192, 192}, {48, 48});
  // Margin 37, width 510, bar 12.
  ExpectRect(layout.app_icon, 37 + (510 - 192) / 2, 37, 192, 192);
  ExpectRect(layout.bar, 37, 2 * 37 + 192, 510, 12);
  ExpectRect(layout.client, 0, 0, 510 + 2 * 37, 192 + 12 + 3 * 37);
}

TEST(CrashDialogLayoutTest, TheIconsRealSizeIsUsed) {
  // An odd difference is halved toward zero; the badge keeps its own size.
  const CrashDialogLayout layout = LayOutCrashDialog(340, 8, 25, {127, 100}, {20, 24});
  ExpectRect(layout.app_icon, 25 + 106, 25, 127, 100);
  ExpectRect(layout.badge, 131, 25, 20, 24);
  ExpectRect(layout.bar, 25, 150, 340, 8);
  ExpectRect(layout.client, 0, 0, 390, 183);
}

TEST(CrashDialogLayoutTest, AnIconWiderThanTheBarWidensTheBar) {
  const CrashDialogLayout layout = LayOutCrashDialog(100, 8, 10, {128, 128}, {32, 32});
  // (100 - 128) / 2 is -14, toward zero.
  ExpectRect(layout.app_icon, -4, 10, 128, 128);
  ExpectRect(layout.bar, 10, 148, 128, 8);
  ExpectRect(layout.client, -14, 0, 162, 166);
}

TEST(CrashDialogCaptionTest, AnEmptyAppNameIsTheExecutablesFileName) {
  EXPECT_EQ(CrashDialogAppName(L"C:\\Games\\game.exe", L""), L"game.exe");
  EXPECT_EQ(CrashDialogCaption(CrashDialogAppName(L"C:\\Games\\game.exe", L""), L"1.2.3"),
            L"game.exe - 1.2.3");
}

TEST(CrashDialogCaptionTest, APathWithoutBackslashIsTakenWhole) {
  EXPECT_EQ(CrashDialogAppName(L"game.exe", L""), L"game.exe");
  EXPECT_EQ(CrashDialogAppName(L"C:/Games/game.exe", L""), L"C:/Games/game.exe");
  EXPECT_EQ(CrashDialogAppName(L"", L""), L"");
  EXPECT_EQ(CrashDialogAppName(L"C:\\Games\\", L""), L"");
}

TEST(CrashDialogCaptionTest, AGivenAppNameWins) {
  EXPECT_EQ(CrashDialogAppName(L"C:\\Games\\game.exe", L"My Game"), L"My Game");
  EXPECT_EQ(CrashDialogCaption(L"My Game", L""), L"My Game - ");
}

TEST(CrashDialogCaptionTest, ALongCaptionIsCutToTheBuffer) {
  const std::wstring app(600, L'a');
  const std::wstring caption = CrashDialogCaption(app, L"1.0");
  EXPECT_EQ(caption, std::wstring(511, L'a'));
  const std::wstring exact = CrashDialogCaption(std::wstring(505, L'b'), L"123");
  EXPECT_EQ(exact.size(), 511u);
  EXPECT_EQ(exact.substr(505), L" - 123");
}

TEST(CrashDialogCaptionTest, TheCutNeverSplitsASurrogatePair) {
  std::wstring app(510, L'a');
  app += static_cast<wchar_t>(0xD83D);
  app += static_cast<wchar_t>(0xDE00);
  const std::wstring caption = CrashDialogCaption(app, L"x");
  EXPECT_EQ(caption, std::wstring(510, L'a'));
}

}  // namespace
}  // namespace nelko
