#pragma once
// The arithmetic of the crash dialog: display scale, the placement of the
// application icon, its badge and the progress bar, and the caption. Pure
// functions, so that the figures can be checked without a window.
#include <cstdint>
#include <string>
#include <string_view>

namespace nelko {

// Sizes at 96 DPI; every pixel size is scaled by the window's DPI / 96.
constexpr int kCrashDialogWidth = 340;
constexpr int kCrashDialogBarHeight = 8;
constexpr int kCrashDialogMargin = 25;
constexpr int kCrashDialogAppIconSize = 128;
constexpr int kCrashDialogBadgeSize = 32;
// The caption buffer, in UTF-16 units with its terminating NUL.
constexpr size_t kCrashDialogCaptionUnits = 512;

struct PixelSize {
  int width = 0;
  int height = 0;
};

struct PixelRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int right() const { return left + width; }
  int bottom() const { return top + height; }
};

struct CrashDialogLayout {
  PixelRect app_icon;
  PixelRect badge;
  PixelRect bar;
  // The client area: icon and bar with the margin on every side.
  PixelRect client;
};

// DPI / 96; a window whose DPI cannot be told (0) is taken at 96.
float DisplayScale(uint32_t dpi);

// scale * size, truncated toward zero.
int ScalePixels(float scale, int size);

// Places the icon centred over a bar of `width` x `bar_height`, the badge on
// the icon's top-left corner, all inside `margin`.
CrashDialogLayout LayOutCrashDialog(int width, int bar_height, int margin, PixelSize app_icon,
                                    PixelSize badge);

// The application name shown: `app_name`, or when it is empty the part of
// `exe_path` after its last backslash (the whole path when it has none).
std::wstring CrashDialogAppName(std::wstring_view exe_path, std::wstring_view app_name);

// "<app name> - <info>", cut to fit the caption buffer (never inside a
// surrogate pair).
std::wstring CrashDialogCaption(std::wstring_view app_name, std::wstring_view info);

}  // namespace nelko
