#pragma once
// Test helpers for the window tests: whether there is a display, and finding
// a process's dialog window through the window API.
#include <windows.h>

#include <string>

namespace nelko::test {

inline bool HaveDisplay() {
  wchar_t value[4];
  return GetEnvironmentVariableW(L"DISPLAY", value, 4) > 0;
}

struct DialogSearch {
  DWORD pid;
  HWND found;
};

// A named callback: on x86 the window API calls it with the stdcall convention,
// which a lambda cannot have.
inline BOOL CALLBACK MatchDialogOf(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t class_name[16] = {};
  GetClassNameW(window, class_name, 16);
  if (owner != search->pid || std::wstring(class_name) != L"#32770") return TRUE;
  search->found = window;
  return FALSE;
}

// The first dialog window (class "#32770") of the process, or null while it has none.
inline HWND DialogOf(DWORD pid) {
  DialogSearch search{pid, nullptr};
  EnumWindows(&MatchDialogOf, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

inline std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  return text;
}

}  // namespace nelko::test

#define SKIP_WITHOUT_DISPLAY() \
  if (!::nelko::test::HaveDisplay()) GTEST_SKIP() << "no DISPLAY; scripts/test starts a virtual one"
