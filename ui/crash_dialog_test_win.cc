// The crash dialog as a user meets it, driven through crash_dialog_probe.exe
// and watched from here through the window's own API. Needs a display (a
// virtual one in scripts/test); without one these tests skip. The behaviour
// without a display is checked by the test "ui.crash_dialog_without_display"
// (ui/CMakeLists.txt): Wine takes the display from the Unix environment of
// the process tree, which a Windows parent cannot take away from its child.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_process_win.h"
#include "tests/support/dialog_window_win.h"
#include "tests/support/time_scale.h"
#include "ui/crash_dialog_layout.h"
#include "ui/crash_dialog_resources.h"

namespace nelko {
namespace {

using test::ChildProcess;
using test::Quote;
using test::SiblingPath;
using test::WindowText;

constexpr DWORD kReplyTimeoutMs = 30000;

// Where a control lies in its dialog's client area.
RECT ControlRect(HWND dialog, int id) {
  RECT rect{};
  HWND control = GetDlgItem(dialog, id);
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void ExpectRect(const RECT& rect, const PixelRect& expected) {
  EXPECT_EQ(rect.left, expected.left);
  EXPECT_EQ(rect.top, expected.top);
  EXPECT_EQ(rect.right - rect.left, expected.width);
  EXPECT_EQ(rect.bottom - rect.top, expected.height);
}

class DialogProbe {
 public:
  ~DialogProbe() {
    if (child_.process() != nullptr && !child_.Wait(0)) child_.Kill();
  }

  bool Start(const std::wstring& exe_path, const std::wstring& app_name, const std::wstring& info) {
    return child_.Start(Quote(SiblingPath(L"crash_dialog_probe.exe")) + L" " + Quote(exe_path) + L" " +
                        Quote(app_name) + L" " + Quote(info));
  }

  // Waits for `reply` in the output after everything matched so far.
  bool Expect(const std::string& reply) {
    const ULONGLONG end = GetTickCount64() + test::Scaled(kReplyTimeoutMs);
    for (;;) {
      const std::string output = child_.OutputSoFar();
      const size_t at = output.find(reply, consumed_);
      if (at != std::string::npos) {
        consumed_ = at + reply.size();
        return true;
      }
      if (GetTickCount64() >= end) {
        ADD_FAILURE() << "no \"" << reply << "\" in:\n" << output;
        return false;
      }
      Sleep(20);
    }
  }

  bool Command(const std::string& command, const std::string& reply) {
    return child_.WriteInput(command + "\n") && Expect(reply);
  }

  HWND Window() { return test::DialogOf(child_.pid()); }

  // The scale the window works at, as it reports it.
  float Scale() {
    if (!Command("layout", "layout scale ")) return 0.0f;
    const std::string output = child_.OutputSoFar();
    return std::stof(output.substr(consumed_));
  }

  // Asks until the window's thread has ended: it ends a moment after its
  // window is gone, later still on a loaded machine.
  bool WaitForThreadEnd() {
    const ULONGLONG end = GetTickCount64() + test::Scaled(kReplyTimeoutMs);
    while (GetTickCount64() < end) {
      if (!Command("open", "open ")) return false;
      if (child_.OutputSoFar().compare(consumed_, 1, "0") == 0) {
        consumed_ += 1;
        return true;
      }
      Sleep(50);
    }
    ADD_FAILURE() << "the window's thread did not end";
    return false;
  }

  ChildProcess& child() { return child_; }

 private:
  ChildProcess child_;
  size_t consumed_ = 0;
};

int BarPosition(HWND dialog) {
  return static_cast<int>(SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

TEST(CrashDialogWindowTest, ShowsTheCaptionAndFollowsTheProgress) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  ASSERT_TRUE(probe.Start(L"C:\\Games\\game.exe", L"Game", L"1.2.3 progress"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  HWND window = probe.Window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(WindowText(window), L"Game - 1.2.3 progress");
  EXPECT_EQ(SendDlgItemMessageW(window, IDC_PROGRESS, PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(BarPosition(window), 0);
  const struct {
    int sent;
    int shown;
  } steps[] = {{20, 20}, {-5, 0}, {250, 100}, {40, 40}, {80, 80}, {100, 100}};
  for (const auto& step : steps) {
    ASSERT_TRUE(
        probe.Command("progress " + std::to_string(step.sent), "progress set " + std::to_string(step.sent)));
    EXPECT_EQ(BarPosition(window), step.shown) << step.sent;
  }
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
  probe.child().CloseInput();
  ASSERT_TRUE(probe.child().Wait(kReplyTimeoutMs));
  EXPECT_EQ(probe.child().ExitCode(), 0u);
}

TEST(CrashDialogWindowTest, WithoutWaitForUserTheWindowClosesByItself) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  ASSERT_TRUE(probe.Start(L"C:\\Games\\game.exe", L"Game", L"closes by itself"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  HWND window = probe.Window();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(probe.Command("open", "open 1"));
  ASSERT_TRUE(probe.Command("progress 100", "progress set 100"));
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(probe.Window(), nullptr);
}

TEST(CrashDialogWindowTest, WaitForUserKeepsTheWindowUntilItIsClosed) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  ASSERT_TRUE(probe.Start(L"C:\\Games\\game.exe", L"Game", L"waits for the user"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  HWND window = probe.Window();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(probe.Command("progress 40", "progress set 40"));
  ASSERT_TRUE(probe.Command("finish", "finishing"));
  // Finish fills the bar, then waits for the window to be closed.
  const ULONGLONG end = GetTickCount64() + test::Scaled(kReplyTimeoutMs);
  while (BarPosition(window) != 100 && GetTickCount64() < end) Sleep(20);
  EXPECT_EQ(BarPosition(window), 100);
  EXPECT_FALSE(probe.child().Wait(500));
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(probe.child().OutputSoFar().find("finish 1"), std::string::npos);

  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(probe.Expect("finish 1 open 0"));
  EXPECT_FALSE(IsWindow(window));
  probe.child().CloseInput();
  ASSERT_TRUE(probe.child().Wait(kReplyTimeoutMs));
  EXPECT_EQ(probe.child().ExitCode(), 0u);
}

TEST(CrashDialogWindowTest, AfterTheUserClosedTheWindowTheOperationsReturnAtOnce) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  ASSERT_TRUE(probe.Start(L"C:\\Games\\game.exe", L"Game", L"closed early"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  HWND window = probe.Window();
  ASSERT_NE(window, nullptr);
  PostMessageW(window, WM_CLOSE, 0, 0);
  const ULONGLONG end = GetTickCount64() + test::Scaled(kReplyTimeoutMs);
  while (IsWindow(window) && GetTickCount64() < end) Sleep(20);
  ASSERT_FALSE(IsWindow(window));
  ASSERT_TRUE(probe.WaitForThreadEnd());
  ASSERT_TRUE(probe.Command("progress 80", "progress set 80"));
  ASSERT_TRUE(probe.Command("finish", "finish 1 open 0"));
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
  // Shown once per process: the window handle stays.
  ASSERT_TRUE(probe.Command("show", "show 0"));
}

TEST(CrashDialogWindowTest, ASecondShowReturnsFalse) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  ASSERT_TRUE(probe.Start(L"C:\\Games\\game.exe", L"Game", L"shown twice"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  ASSERT_TRUE(probe.Command("show", "show 0"));
  EXPECT_EQ(WindowText(probe.Window()), L"Game - shown twice");
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
}

TEST(CrashDialogWindowTest, AnEmptyAppNameShowsTheExecutablesFileName) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  // The handler itself stands for the crashed executable: it has icons.
  ASSERT_TRUE(probe.Start(SiblingPath(L"NelkoCrashHandler.exe"), L"", L"1.2.3 unnamed"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  EXPECT_EQ(WindowText(probe.Window()), L"NelkoCrashHandler.exe - 1.2.3 unnamed");
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
}

TEST(CrashDialogWindowTest, ACaptionLongerThanItsBufferIsCut) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  ASSERT_TRUE(probe.Start(L"C:\\Games\\game.exe", std::wstring(600, L'n'), L"1.0"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  EXPECT_EQ(WindowText(probe.Window()), std::wstring(511, L'n'));
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
}

TEST(CrashDialogWindowTest, ACaptionOutsideTheAnsiCodePageStaysWhole) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  const std::wstring app = L"Spiel \u30b2\u30fc\u30e0 \u0416";
  ASSERT_TRUE(probe.Start(L"C:\\Games\\game.exe", app, L"\u00e9t\u00e9"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  EXPECT_EQ(WindowText(probe.Window()), app + L" - \u00e9t\u00e9");
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
}

TEST(CrashDialogWindowTest, IconsAndBarAreLaidOutAtTheWindowsScale) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  // No such executable: the built-in application icon stays, with the badge.
  ASSERT_TRUE(probe.Start(L"C:\\Missing\\game.exe", L"", L"layout"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  HWND window = probe.Window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(WindowText(window), L"game.exe - layout");
  const float scale = probe.Scale();
  const int app = ScalePixels(scale, kCrashDialogAppIconSize);
  const int badge = ScalePixels(scale, kCrashDialogBadgeSize);
  ASSERT_TRUE(probe.Expect("app " + std::to_string(app) + "x" + std::to_string(app) + " badge " +
                           std::to_string(badge) + "x" + std::to_string(badge)));
  const CrashDialogLayout layout =
      LayOutCrashDialog(ScalePixels(scale, kCrashDialogWidth), ScalePixels(scale, kCrashDialogBarHeight),
                        ScalePixels(scale, kCrashDialogMargin), {app, app}, {badge, badge});
  ExpectRect(ControlRect(window, IDC_APP_ICON), layout.app_icon);
  ExpectRect(ControlRect(window, IDC_BADGE_ICON), layout.badge);
  ExpectRect(ControlRect(window, IDC_PROGRESS), layout.bar);
  RECT client{};
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, layout.client.width);
  EXPECT_EQ(client.bottom, layout.client.height);
  if (scale == 1.0f) {
    EXPECT_EQ(client.right, 390);
    EXPECT_EQ(client.bottom, 211);
  }
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
}

TEST(CrashDialogWindowTest, TheCrashedExecutablesIconIsShownAtTheWindowsScale) {
  SKIP_WITHOUT_DISPLAY();
  DialogProbe probe;
  // A crashed program whose only icon is an orange square under an id of
  // its own: the window shows that, not the handler's built-in icon.
  ASSERT_TRUE(probe.Start(SiblingPath(L"own_icon_probe.exe"), L"Game", L"own icon"));
  ASSERT_TRUE(probe.Expect("shown 1"));
  const float scale = probe.Scale();
  const int app = ScalePixels(scale, kCrashDialogAppIconSize);
  ASSERT_TRUE(probe.Expect("app " + std::to_string(app) + "x" + std::to_string(app)));
  ASSERT_TRUE(probe.Expect("app middle e07010"));
  ASSERT_TRUE(probe.Command("close", "close 1 open 0"));
}

}  // namespace
}  // namespace nelko
