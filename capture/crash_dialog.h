#pragma once
// The progress window shown while a crash is handled: the crashed
// application's icon with a warning badge, a progress bar and the caption
// "<app name> - <info>". It runs a modal dialog on a thread of its own, so the
// crash pipeline never pumps messages. Every operation but Show does nothing
// when the window was never shown. The pipeline uses it through this
// interface; ui/ implements it.
#include <cstdint>

namespace nelko {

class CrashDialog {
 public:
  // Shows the window and returns once it is up, with the icon of `exe_path`
  // and the caption set. False when it was already shown or cannot be
  // created (for instance without a display). An empty `app_name` stands for
  // the file name of `exe_path`.
  virtual bool Show(const wchar_t* exe_path, const wchar_t* app_name, const wchar_t* info) = 0;
  // Closes the window and waits until its thread has ended. False without a
  // window.
  virtual bool Close() = 0;
  // True while the window's thread runs.
  virtual bool IsOpen() = 0;
  // Moves the bar to `percent`, clamped to 0..100.
  virtual void SetProgress(int32_t percent) = 0;
  // Fills the bar and waits until the user has closed the window. False
  // without a window.
  virtual bool Finish() = 0;
  virtual ~CrashDialog() = default;
};

}  // namespace nelko
