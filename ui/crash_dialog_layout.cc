#include "ui/crash_dialog_layout.h"

#include <algorithm>

namespace nelko {

float DisplayScale(uint32_t dpi) {
  if (dpi == 0) return 1.0f;
  return static_cast<float>(dpi) / 96.0f;
}

int ScalePixels(float scale, int size) { return static_cast<int>(scale * static_cast<float>(size)); }

CrashDialogLayout LayOutCrashDialog(int width, int bar_height, int margin, PixelSize app_icon,
                                    PixelSize badge) {
  CrashDialogLayout layout;
  layout.app_icon = {margin + (width - app_icon.width) / 2, margin, app_icon.width, app_icon.height};
  layout.badge = {layout.app_icon.left, layout.app_icon.top, badge.width, badge.height};
  layout.bar = {margin, margin + layout.app_icon.bottom(), std::max(width, app_icon.width), bar_height};
  const int left = std::min(layout.app_icon.left, layout.bar.left);
  const int top = std::min(layout.app_icon.top, layout.bar.top);
  const int right = std::max(layout.app_icon.right(), layout.bar.right());
  const int bottom = std::max(layout.app_icon.bottom(), layout.bar.bottom());
  layout.client = {left - margin, top - margin, right - left + 2 * margin, bottom - top + 2 * margin};
  return layout;
}

std::wstring CrashDialogAppName(std::wstring_view exe_path, std::wstring_view app_name) {
  if (!app_name.empty()) return std::wstring(app_name);
  const size_t slash = exe_path.rfind(L'\\');
  if (slash == std::wstring_view::npos) return std::wstring(exe_path);
  return std::wstring(exe_path.substr(slash + 1));
}

std::wstring CrashDialogCaption(std::wstring_view app_name, std::wstring_view info) {
  std::wstring caption;
  caption.reserve(app_name.size() + 3 + info.size());
  caption.append(app_name).append(L" - ").append(info);
  const size_t limit = kCrashDialogCaptionUnits - 1;
  if (caption.size() > limit) {
    size_t cut = limit;
    // A high surrogate whose partner is cut off would be an invalid character.
    const wchar_t last = caption[cut - 1];
    if (last >= 0xD800 && last <= 0xDBFF) --cut;
    caption.resize(cut);
  }
  return caption;
}

}  // namespace nelko
