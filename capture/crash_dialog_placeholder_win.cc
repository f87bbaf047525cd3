// PLACEHOLDER: a progress window that shows nothing, until ui/ lands.
#include "capture/crash_dialog_placeholder_win.h"

namespace nelko {
namespace {

class PlaceholderCrashDialog : public CrashDialog {
 public:
  bool Show(const wchar_t*, const wchar_t*, const wchar_t*) override { return false; }
  bool Close() override { return false; }
  bool IsOpen() override { return false; }
  void SetProgress(int32_t) override {}
  bool Finish() override { return false; }
};

}  // namespace

CrashDialog& GetCrashDialog() {
  static PlaceholderCrashDialog dialog;
  return dialog;
}

}  // namespace nelko
