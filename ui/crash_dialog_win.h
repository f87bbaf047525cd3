#pragma once
// The Win32 crash dialog: dialog template 102 run by DialogBoxParamW on a
// thread of its own, driven from the crash pipeline's thread with private
// messages sent under a lock.
#include <windows.h>

#include <string>

#include "base/recursive_mutex.h"
#include "base/scoped_handle_win.h"
#include "capture/crash_dialog.h"

namespace nelko {

// Private messages of the dialog procedure.
constexpr UINT kCrashDialogSetProgress = WM_USER + 0x100;   // wParam: 0..100
constexpr UINT kCrashDialogSetIconTitle = WM_USER + 0x101;  // wParam: HICON or 0, lParam: title or 0
constexpr UINT kCrashDialogComplete = WM_USER + 0x102;
static_assert(kCrashDialogSetProgress == 0x500 && kCrashDialogSetIconTitle == 0x501 &&
                  kCrashDialogComplete == 0x502,
              "the private messages follow WM_USER");

// The scale of a window's pixels against 96 DPI, through GetDpiForWindow when
// the system has it; 1.0 otherwise.
float WindowDisplayScale(HWND window);

// Owner of an icon made by LoadImage or CreateIconFromResourceEx.
class ScopedIcon {
 public:
  ScopedIcon() = default;
  explicit ScopedIcon(HICON icon) : icon_(icon) {}
  ScopedIcon(const ScopedIcon&) = delete;
  ScopedIcon& operator=(const ScopedIcon&) = delete;
  ~ScopedIcon() { reset(); }
  HICON get() const { return icon_; }
  void reset(HICON icon = nullptr) {
    if (icon_ != nullptr) DestroyIcon(icon_);
    icon_ = icon;
  }

 private:
  HICON icon_ = nullptr;
};

// The icon of the first icon group of an executable at `size` pixels square;
// null when it has none or cannot be read.
HICON LoadFirstIconOfExecutable(const std::wstring& exe_path, int size);

class Win32CrashDialog final : public CrashDialog {
 public:
  Win32CrashDialog() = default;
  Win32CrashDialog(const Win32CrashDialog&) = delete;
  Win32CrashDialog& operator=(const Win32CrashDialog&) = delete;
  ~Win32CrashDialog() override = default;

  bool Show(const wchar_t* exe_path, const wchar_t* app_name, const wchar_t* info) override;
  bool Close() override;
  bool IsOpen() override;
  void SetProgress(int32_t percent) override;
  bool Finish() override;

 private:
  static DWORD WINAPI ThreadMain(void* self);
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void InitDialog(HWND window);
  void SetIconAndTitle();
  HWND Window();

  RecursiveMutex lock_;
  ScopedHandle thread_;
  ScopedHandle ready_event_;
  std::wstring exe_path_;
  std::wstring app_name_;
  std::wstring info_;
  HWND window_ = nullptr;
  // Images the window shows; they outlive it.
  ScopedIcon app_icon_;
  ScopedIcon badge_icon_;
  ScopedIcon crashed_app_icon_;
};

// The one window of the process, made on first use.
CrashDialog& GetCrashDialog();

}  // namespace nelko
