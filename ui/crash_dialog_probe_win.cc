// Test-only program: shows the crash dialog as the crash pipeline does and
// then obeys one command per line of its standard input, acknowledging each
// on standard output, so a test can drive the window and watch it:
//   crash_dialog_probe <executable path> <app name> <info>
// Commands: "progress N", "finish" (waits for the user), "close", "open",
// "show" (a second Show), "layout" (the scale, the sizes of the two icons
// the window shows and the colour of the application icon's middle pixel). Exit code 0, or 2 when the window
// did not show.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "capture/crash_dialog.h"
#include "ui/crash_dialog_resources.h"
#include "ui/crash_dialog_win.h"

namespace {

BOOL CALLBACK KeepOwnDialog(HWND window, LPARAM param) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t class_name[16] = {};
  GetClassNameW(window, class_name, 16);
  if (pid != GetCurrentProcessId() || std::wstring(class_name) != L"#32770") return TRUE;
  *reinterpret_cast<HWND*>(param) = window;
  return FALSE;
}

std::string IconSize(HWND dialog, int control_id) {
  const auto icon =
      reinterpret_cast<HICON>(SendDlgItemMessageW(dialog, control_id, STM_GETIMAGE, IMAGE_ICON, 0));
  ICONINFO info{};
  if (icon == nullptr || !GetIconInfo(icon, &info)) return "none";
  BITMAP bitmap{};
  GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  return std::to_string(bitmap.bmWidth) + "x" + std::to_string(bitmap.bmHeight);
}

// The colour of the icon's middle pixel as RRGGBB, which tells one icon from
// another.
std::string IconMiddle(HWND dialog, int control_id) {
  const auto icon =
      reinterpret_cast<HICON>(SendDlgItemMessageW(dialog, control_id, STM_GETIMAGE, IMAGE_ICON, 0));
  ICONINFO info{};
  if (icon == nullptr || !GetIconInfo(icon, &info)) return "none";
  std::string text = "none";
  BITMAP bitmap{};
  if (info.hbmColor != nullptr && GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap) != 0 &&
      bitmap.bmWidth > 0 && bitmap.bmHeight > 0) {
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = bitmap.bmWidth;
    format.bmiHeader.biHeight = -bitmap.bmHeight;  // top-down
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> pixels(static_cast<size_t>(bitmap.bmWidth) * bitmap.bmHeight);
    HDC screen = GetDC(nullptr);
    if (GetDIBits(screen, info.hbmColor, 0, bitmap.bmHeight, pixels.data(), &format, DIB_RGB_COLORS) != 0) {
      char hex[8];
      const DWORD middle =
          pixels[static_cast<size_t>(bitmap.bmHeight / 2) * bitmap.bmWidth + bitmap.bmWidth / 2];
      std::snprintf(hex, sizeof(hex), "%06lx", static_cast<unsigned long>(middle & 0xFFFFFFu));
      text = hex;
    }
    ReleaseDC(nullptr, screen);
  }
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  return text;
}

void PrintLayout() {
  HWND dialog = nullptr;
  EnumWindows(&KeepOwnDialog, reinterpret_cast<LPARAM>(&dialog));
  if (dialog == nullptr) {
    std::printf("layout none\n");
    return;
  }
  std::printf("layout scale %g app %s badge %s app middle %s\n", nelko::WindowDisplayScale(dialog),
              IconSize(dialog, IDC_APP_ICON).c_str(), IconSize(dialog, IDC_BADGE_ICON).c_str(),
              IconMiddle(dialog, IDC_APP_ICON).c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::printf("usage: crash_dialog_probe <executable path> <app name> <info>\n");
    return 1;
  }
  nelko::CrashDialog& dialog = nelko::GetCrashDialog();
  const bool shown = dialog.Show(argv[1], argv[2], argv[3]);
  std::printf("shown %d\n", shown ? 1 : 0);
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("progress ", 0) == 0) {
      const int percent = std::atoi(line.c_str() + 9);
      dialog.SetProgress(percent);
      std::printf("progress set %d\n", percent);
    } else if (line == "finish") {
      std::printf("finishing\n");
      std::fflush(stdout);
      const bool finished = dialog.Finish();
      std::printf("finish %d open %d\n", finished ? 1 : 0, dialog.IsOpen() ? 1 : 0);
    } else if (line == "close") {
      const bool closed = dialog.Close();
      std::printf("close %d open %d\n", closed ? 1 : 0, dialog.IsOpen() ? 1 : 0);
    } else if (line == "open") {
      std::printf("open %d\n", dialog.IsOpen() ? 1 : 0);
    } else if (line == "show") {
      std::printf("show %d\n", dialog.Show(argv[1], argv[2], argv[3]) ? 1 : 0);
    } else if (line == "layout") {
      PrintLayout();
    } else {
      std::printf("unknown command\n");
    }
    std::fflush(stdout);
  }
  return shown ? 0 : 2;
}
