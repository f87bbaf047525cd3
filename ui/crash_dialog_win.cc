#include "ui/crash_dialog_win.h"

#include <commctrl.h>

#include <cstddef>

#include "base/diag_output.h"
#include "ui/crash_dialog_layout.h"
#include "ui/crash_dialog_resources.h"

namespace nelko {
namespace {

// Owner of a GDI object such as the bitmaps that GetIconInfo makes.
class ScopedGdiObject {
 public:
  explicit ScopedGdiObject(HGDIOBJ object) : object_(object) {}
  ScopedGdiObject(const ScopedGdiObject&) = delete;
  ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;
  ~ScopedGdiObject() {
    if (object_ != nullptr) DeleteObject(object_);
  }
  HGDIOBJ get() const { return object_; }

 private:
  HGDIOBJ object_;
};

// The size of the icon a static control shows; `fallback` square when it
// shows none or its colour bitmap cannot be read.
PixelSize ControlIconSize(HWND dialog, int control_id, int fallback) {
  PixelSize size{fallback, fallback};
  const auto icon =
      reinterpret_cast<HICON>(SendDlgItemMessageW(dialog, control_id, STM_GETIMAGE, IMAGE_ICON, 0));
  if (icon == nullptr) return size;
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) return size;
  const ScopedGdiObject color(info.hbmColor);
  const ScopedGdiObject mask(info.hbmMask);
  BITMAP bitmap{};
  if (color.get() != nullptr && GetObjectW(color.get(), sizeof(bitmap), &bitmap) == sizeof(bitmap)) {
    size = {bitmap.bmWidth, bitmap.bmHeight};
  }
  return size;
}

void MoveControl(HWND dialog, int control_id, HWND insert_after, const PixelRect& rect) {
  UINT flags = SWP_NOACTIVATE;
  if (insert_after == nullptr) flags |= SWP_NOZORDER;
  SetWindowPos(GetDlgItem(dialog, control_id), insert_after, rect.left, rect.top, rect.width, rect.height,
               flags);
}

// Sizes the dialog around the icon and the bar, keeping its top-left corner.
void LayOutWindow(HWND dialog, int width, int bar_height, int margin) {
  const PixelSize app_icon = ControlIconSize(dialog, IDC_APP_ICON, kCrashDialogAppIconSize);
  const PixelSize badge = ControlIconSize(dialog, IDC_BADGE_ICON, kCrashDialogBadgeSize);
  const CrashDialogLayout layout = LayOutCrashDialog(width, bar_height, margin, app_icon, badge);

  RECT frame{layout.client.left, layout.client.top, layout.client.right(), layout.client.bottom()};
  AdjustWindowRect(&frame, static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE)), FALSE);
  SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  MoveControl(dialog, IDC_APP_ICON, nullptr, layout.app_icon);
  // Right after the icon in the z-order, so the badge is drawn over it.
  MoveControl(dialog, IDC_BADGE_ICON, GetDlgItem(dialog, IDC_APP_ICON), layout.badge);
  MoveControl(dialog, IDC_PROGRESS, nullptr, layout.bar);
}

HICON LoadOwnIcon(int id, int size) {
  return static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

// The name of the first icon group; a resource name is either a number or a
// string.
struct ResourceName {
  bool found = false;
  WORD id = 0;
  std::wstring text;
  LPCWSTR get() const { return text.empty() ? MAKEINTRESOURCEW(id) : text.c_str(); }
};

BOOL CALLBACK StoreFirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  auto* first = reinterpret_cast<ResourceName*>(param);
  first->found = true;
  if (IS_INTRESOURCE(name)) {
    first->id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
  } else {
    first->text = name;
  }
  return FALSE;  // the first one only
}

// A resource's bytes in a module loaded as data; null when missing.
const BYTE* LockedResource(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD* size) {
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return nullptr;
  *size = SizeofResource(module, found);
  return static_cast<const BYTE*>(LockResource(loaded));
}

}  // namespace

float WindowDisplayScale(HWND window) {
  const ScopedLibrary user32(LoadLibraryA("User32.dll"));
  if (!user32) return 1.0f;
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  const auto get_dpi = reinterpret_cast<GetDpiForWindowFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(user32.get(), "GetDpiForWindow")));
  if (get_dpi == nullptr) return 1.0f;
  return DisplayScale(get_dpi(window));
}

HICON LoadFirstIconOfExecutable(const std::wstring& exe_path, int size) {
  if (exe_path.empty()) return nullptr;
  const ScopedLibrary module(LoadLibraryExW(exe_path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module) return nullptr;
  ResourceName group_name;
  EnumResourceNamesW(module.get(), RT_GROUP_ICON, &StoreFirstName, reinterpret_cast<LONG_PTR>(&group_name));
  if (!group_name.found) return nullptr;

  DWORD group_size = 0;
  const BYTE* group = LockedResource(module.get(), group_name.get(), RT_GROUP_ICON, &group_size);
  // The directory is a 6-byte header and 14 bytes per image; the lookup below
  // trusts its count, so a short one is refused here.
  constexpr DWORD kHeaderBytes = 6;
  constexpr DWORD kEntryBytes = 14;
  if (group == nullptr || group_size < kHeaderBytes) return nullptr;
  const DWORD count = static_cast<DWORD>(group[4] | (group[5] << 8));
  if (count == 0 || group_size < kHeaderBytes + count * kEntryBytes) return nullptr;
  const int image_id = LookupIconIdFromDirectoryEx(const_cast<BYTE*>(group), TRUE, 256, 256, LR_DEFAULTCOLOR);
  if (image_id == 0) return nullptr;

  DWORD image_size = 0;
  const BYTE* image = LockedResource(module.get(), MAKEINTRESOURCEW(image_id), RT_ICON, &image_size);
  if (image == nullptr || image_size == 0) return nullptr;
  return CreateIconFromResourceEx(const_cast<BYTE*>(image), image_size, TRUE, 0x00030000, size, size, 0);
}

namespace {

CrashDialogThreadSeam g_thread_seam = nullptr;
CrashDialogWaits g_waits;

}  // namespace

void SetCrashDialogThreadSeamForTest(CrashDialogThreadSeam seam) { g_thread_seam = seam; }

void SetCrashDialogWaitsForTest(const CrashDialogWaits& waits) { g_waits = waits; }

CrashDialog& GetCrashDialog() {
  static Win32CrashDialog dialog;
  return dialog;
}

HWND Win32CrashDialog::Window() {
  RecursiveMutexLock hold(lock_);
  return window_;
}

bool Win32CrashDialog::Show(const wchar_t* exe_path, const wchar_t* app_name, const wchar_t* info) {
  // Shown once per process, even when the first window never came up.
  if (thread_ || Window() != nullptr) return false;
  exe_path_ = exe_path != nullptr ? exe_path : L"";
  app_name_ = CrashDialogAppName(exe_path_, app_name != nullptr ? app_name : L"");
  info_ = info != nullptr ? info : L"";

  ready_event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!ready_event_) return false;
  thread_.reset(CreateThread(nullptr, 0, &ThreadMain, this, 0, nullptr));
  if (!thread_) return false;
  // The thread ends without the window when the dialog cannot be created
  // (no display, missing template): waiting for the window alone would hang.
  const HANDLE waits[2] = {ready_event_.get(), thread_.get()};
  const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, g_waits.show_ms);
  if (waited == WAIT_TIMEOUT) {
    RecursiveMutexLock hold(lock_);
    if (window_ == nullptr) {
      unresponsive_ = true;
      DiagPrintf("The crash window did not come up within %u ms; crash handling goes on without it\n",
                 static_cast<unsigned>(g_waits.show_ms));
      return false;
    }
  } else if (waited != WAIT_OBJECT_0) {
    return false;
  }
  const HWND window = Window();
  if (window == nullptr) return false;
  SetForegroundWindow(window);
  return true;
}

void Win32CrashDialog::SetIconAndTitle(HWND window) {
  // On the window's own thread, while it comes up: the message is a call.
  const float scale = WindowDisplayScale(window);
  crashed_app_icon_.reset(LoadFirstIconOfExecutable(exe_path_, ScalePixels(scale, kCrashDialogAppIconSize)));
  const std::wstring title = CrashDialogCaption(app_name_, info_);
  SendMessageW(window, kCrashDialogSetIconTitle, reinterpret_cast<WPARAM>(crashed_app_icon_.get()),
               reinterpret_cast<LPARAM>(title.c_str()));
}

Win32CrashDialog::Delivery Win32CrashDialog::Deliver(UINT message, WPARAM wparam) {
  if (unresponsive_) {
    // Nothing waits for a thread that stalled once; the window catches up
    // with what it missed if its thread comes back.
    return PostMessageW(window_, message, wparam, 0) ? Delivery::kNoAnswer : Delivery::kGone;
  }
  DWORD_PTR result = 0;
  if (SendMessageTimeoutW(window_, message, wparam, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, g_waits.answer_ms,
                          &result) != 0) {
    return Delivery::kAnswered;
  }
  // Closed by the user already: nothing to wait for.
  if (!IsWindow(window_)) return Delivery::kGone;
  unresponsive_ = true;
  DiagPrintf("The crash window did not answer within %u ms; crash handling goes on without waiting for it\n",
             static_cast<unsigned>(g_waits.answer_ms));
  return Delivery::kNoAnswer;
}

void Win32CrashDialog::SetProgress(int32_t percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  RecursiveMutexLock hold(lock_);
  if (window_ == nullptr) {
    // A window still on its way shows the last progress when it comes.
    if (unresponsive_) pending_progress_ = percent;
    return;
  }
  Deliver(kCrashDialogSetProgress, static_cast<WPARAM>(percent));
}

void Win32CrashDialog::CloseAndWait() {
  {
    RecursiveMutexLock hold(lock_);
    if (window_ != nullptr) {
      // Posted: a stalled thread closes the window when it comes back.
      PostMessageW(window_, WM_CLOSE, 0, 0);
    } else {
      close_requested_ = true;
    }
  }
  if (WaitForSingleObject(thread_.get(), g_waits.close_ms) == WAIT_TIMEOUT) {
    DiagPrintf("The crash window did not close within %u ms; crash handling goes on without it\n",
               static_cast<unsigned>(g_waits.close_ms));
  }
}

bool Win32CrashDialog::Finish() {
  Delivery delivered = Delivery::kGone;
  {
    RecursiveMutexLock hold(lock_);
    if (window_ == nullptr) {
      if (!unresponsive_) return false;
    } else {
      // The engine is released by now, so the window gets a fresh wait: a
      // thread that was only slow a moment ago still waits for the user.
      unresponsive_ = false;
      delivered = Deliver(kCrashDialogComplete, 0);
    }
  }
  if (delivered == Delivery::kGone) {
    CloseAndWait();
    return Window() != nullptr;
  }
  if (delivered == Delivery::kNoAnswer) {
    DiagPrintf("The crash window is closed instead of waiting for the user\n");
    CloseAndWait();
    return true;
  }
  // Until the user closes the window, for as long as it answers: a window
  // whose thread stalls for good could never be closed by the user.
  while (WaitForSingleObject(thread_.get(), 1000) == WAIT_TIMEOUT) {
    RecursiveMutexLock hold(lock_);
    if (Deliver(WM_NULL, 0) == Delivery::kNoAnswer) {
      DiagPrintf("The crash window is closed instead of waiting for the user\n");
      CloseAndWait();
      break;
    }
  }
  return true;
}

bool Win32CrashDialog::Close() {
  bool had_window = false;
  {
    RecursiveMutexLock hold(lock_);
    if (window_ == nullptr && !unresponsive_) return false;
    had_window = window_ != nullptr;
  }
  CloseAndWait();
  return had_window;
}

bool Win32CrashDialog::IsOpen() {
  if (Window() == nullptr) return false;
  DWORD exit_code = 0;
  return GetExitCodeThread(thread_.get(), &exit_code) && exit_code == STILL_ACTIVE;
}

DWORD WINAPI Win32CrashDialog::ThreadMain(void* self) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  // The wide variant keeps a caption outside the ANSI code page intact.
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CRASH_DIALOG), nullptr, &DialogProc,
                  reinterpret_cast<LPARAM>(self));
  return 0;
}

INT_PTR CALLBACK Win32CrashDialog::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (g_thread_seam != nullptr && (message == WM_INITDIALOG || InSendMessage())) g_thread_seam(message);
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(window, DWLP_USER, lparam);
      reinterpret_cast<Win32CrashDialog*>(lparam)->InitDialog(window);
      return TRUE;
    case WM_CLOSE:
      EndDialog(window, LOWORD(wparam));
      return TRUE;
    case WM_COMMAND: {
      // Enter and Escape arrive as IDOK and IDCANCEL. Only a window that waits
      // for the user closes on them; during crash handling it stays.
      const auto* self = reinterpret_cast<Win32CrashDialog*>(GetWindowLongPtrW(window, DWLP_USER));
      if ((LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) && self != nullptr &&
          self->waiting_for_user_) {
        EndDialog(window, 0);
        return TRUE;
      }
      return FALSE;
    }
    case kCrashDialogSetProgress:
      SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, wparam, 0);
      return FALSE;
    case kCrashDialogSetIconTitle:
      if (wparam != 0)
        SendDlgItemMessageW(window, IDC_APP_ICON, STM_SETIMAGE, IMAGE_ICON, static_cast<LPARAM>(wparam));
      if (lparam != 0) SetWindowTextW(window, reinterpret_cast<LPCWSTR>(lparam));
      return FALSE;
    case kCrashDialogComplete: {
      SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, 100, 0);
      auto* self = reinterpret_cast<Win32CrashDialog*>(GetWindowLongPtrW(window, DWLP_USER));
      if (self != nullptr) self->waiting_for_user_ = true;
      return FALSE;
    }
    default:
      return FALSE;
  }
}

void Win32CrashDialog::InitDialog(HWND window) {
  SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, 0, 0);
  const float scale = WindowDisplayScale(window);
  const int app_size = ScalePixels(scale, kCrashDialogAppIconSize);
  app_icon_.reset(LoadOwnIcon(IDI_APP_ICON, app_size));
  if (app_icon_.get() != nullptr) {
    SendDlgItemMessageW(window, IDC_APP_ICON, STM_SETIMAGE, IMAGE_ICON,
                        reinterpret_cast<LPARAM>(app_icon_.get()));
  }
  const int badge_size = ScalePixels(scale, kCrashDialogBadgeSize);
  badge_icon_.reset(LoadOwnIcon(IDI_BADGE_ICON, badge_size));
  if (badge_icon_.get() != nullptr) {
    SendDlgItemMessageW(window, IDC_BADGE_ICON, STM_SETIMAGE, IMAGE_ICON,
                        reinterpret_cast<LPARAM>(badge_icon_.get()));
  }
  LayOutWindow(window, ScalePixels(scale, kCrashDialogWidth), ScalePixels(scale, kCrashDialogBarHeight),
               ScalePixels(scale, kCrashDialogMargin));
  // The caption and the crashed application's icon are set here, on the
  // window's own thread, so they need no message from a thread that may
  // already have stopped waiting for the window.
  SetIconAndTitle(window);
  bool close_now = false;
  {
    RecursiveMutexLock hold(lock_);
    window_ = window;
    close_now = close_requested_;
    if (pending_progress_ >= 0) SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, pending_progress_, 0);
  }
  if (close_now) EndDialog(window, 0);
  SetEvent(ready_event_.get());
}

}  // namespace nelko
