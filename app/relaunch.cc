#include "app/relaunch.h"

namespace nelko {

std::wstring BuildRelaunchCommandLine(int count, const wchar_t* const* vector, std::wstring_view original) {
  std::wstring line;
  for (int i = 0; i < count; ++i) {
    line += L'"';
    line += vector[i];
    line += L"\" ";
  }
  if (original.find(L"--console") != std::wstring_view::npos) line += L"--console ";
  if (original.find(L"--wait-for-debugger") != std::wstring_view::npos) line += L"--wait-for-debugger ";
  return line;
}

}  // namespace nelko
