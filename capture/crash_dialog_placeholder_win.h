#pragma once
// PLACEHOLDER for the progress window of ui/ until it lands: the same
// interface, and a window that never shows, so every operation after Show
// does nothing, as it does for a window that was never shown.
#include <cstdint>

namespace nelko {

class CrashDialog {
 public:
  virtual ~CrashDialog() = default;
  // False when nothing was shown.
  virtual bool Show(const wchar_t* exe_path, const wchar_t* app_name, const wchar_t* info) = 0;
  virtual bool Close() = 0;
  virtual bool IsOpen() = 0;
  virtual void SetProgress(int32_t percent) = 0;
  virtual bool Finish() = 0;
};

// The process-wide progress window.
CrashDialog& GetCrashDialog();

}  // namespace nelko
