// Test-only program standing in for a bug reporter: writes the arguments it
// was started with, one a line in UTF-8, to the file named after --out, and
// then a last line "end", so that a test can compare them whole. With
// --startup FILE it also writes the start-up record's flags and show state
// there ("flags F show S").
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/text_win.h"

int wmain(int argc, wchar_t** argv) {
  const wchar_t* out = nullptr;
  const wchar_t* startup_out = nullptr;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wstring(argv[i]) == L"--out") out = argv[i + 1];
    if (std::wstring(argv[i]) == L"--startup") startup_out = argv[i + 1];
  }
  if (out == nullptr) return 1;
  if (startup_out != nullptr) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    std::FILE* record = _wfopen(startup_out, L"wb");
    if (record == nullptr) return 4;
    std::fprintf(record, "flags %lu show %u\n", static_cast<unsigned long>(startup.dwFlags),
                 static_cast<unsigned>(startup.wShowWindow));
    std::fclose(record);
  }
  // Written under another name and renamed, so a reader never sees half.
  const std::wstring partial = std::wstring(out) + L".partial";
  std::FILE* file = _wfopen(partial.c_str(), L"wb");
  if (file == nullptr) return 2;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = nelko::WideToUtf8(argv[i]);
    std::fprintf(file, "%s\n", arg.c_str());
  }
  std::fprintf(file, "end\n");
  std::fclose(file);
  return MoveFileExW(partial.c_str(), out, MOVEFILE_REPLACE_EXISTING) ? 0 : 3;
}
