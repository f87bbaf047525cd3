#include "base/command_line.h"

namespace nelko {
namespace {
wchar_t FoldCase(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }
}  // namespace

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool RemoveFlag(const wchar_t* flag, int& count, wchar_t** vector) {
  const int before = count;
  int kept = 1;
  for (int i = 1; i < count; ++i) {
    if (EqualsIgnoreCase(vector[i], flag)) continue;
    vector[kept++] = vector[i];
  }
  if (count > 0) count = kept;
  return count != before;
}

}  // namespace nelko
