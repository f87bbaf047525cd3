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

// How long the crash pipeline waits for the window's thread. The engine is
// frozen until the pipeline releases it, so a window whose thread stalls
// (a display that hangs, a busy machine) may cost it this much and no more:
// after one wait runs out, later updates are posted without waiting, and the
// window catches up with them if its thread comes back.
constexpr DWORD kCrashDialogShowWaitMs = 2000;
constexpr UINT kCrashDialogAnswerWaitMs = 500;
// Waiting for the window's thread to end after the window was told to close.
constexpr DWORD kCrashDialogCloseWaitMs = 10000;

// Test seam: other waits than the ones above, for a test program that runs
// where every process is several times slower (the emulated 32-bit stage).
struct CrashDialogWaits {
  DWORD show_ms = kCrashDialogShowWaitMs;
  UINT answer_ms = kCrashDialogAnswerWaitMs;
  DWORD close_ms = kCrashDialogCloseWaitMs;
};
void SetCrashDialogWaitsForTest(const CrashDialogWaits& waits);

// Test seam: called on the window's thread with each message that it is
// about to handle and that another thread sent, and with WM_INITDIALOG
// before the window is announced, so a test can stall the thread there.
// Null (the default) calls nothing.
using CrashDialogThreadSeam = void (*)(UINT message);
void SetCrashDialogThreadSeamForTest(CrashDialogThreadSeam seam);

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
  void SetIconAndTitle(HWND window);
  HWND Window();
  // Sends a message within kCrashDialogAnswerWaitMs, or posts it once a wait
  // ran out; false when the window did not answer in time. Under the lock.
  enum class Delivery { kAnswered, kGone, kNoAnswer };
  Delivery Deliver(UINT message, WPARAM wparam);
  // Tells the window to close (now, or as soon as it exists) and waits a
  // bounded time for its thread to end.
  void CloseAndWait();

  RecursiveMutex lock_;
  ScopedHandle thread_;
  ScopedHandle ready_event_;
  std::wstring exe_path_;
  std::wstring app_name_;
  std::wstring info_;
  HWND window_ = nullptr;
  // A wait for the window's thread ran out: nothing waits for it any more.
  bool unresponsive_ = false;
  // Close or Finish came before the window existed: it closes at once.
  bool close_requested_ = false;
  // The last progress reported before the window existed, or -1.
  int32_t pending_progress_ = -1;
  // Window thread only: the window waits for the user (Finish), so Enter
  // and Escape close it.
  bool waiting_for_user_ = false;
  // Images the window shows; they outlive it.
  ScopedIcon app_icon_;
  ScopedIcon badge_icon_;
  ScopedIcon crashed_app_icon_;
};

// The one window of the process, made on first use.
CrashDialog& GetCrashDialog();

}  // namespace nelko
