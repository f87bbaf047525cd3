#include "platform/file_path.h"

#include <algorithm>

namespace nelko {

std::string ToLayerPath(std::string_view path) {
  std::string out(path.substr(0, std::min(path.size(), kMaxFilePathLength)));
  size_t start = 0;
  // A UNC path keeps "\\server\" as written; only the rest is converted.
  if (out.size() >= 2 && out[0] == '\\' && out[1] == '\\') {
    const size_t server_end = out.find('\\', 2);
    start = server_end == std::string::npos ? out.size() : server_end + 1;
  }
  std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), '\\', '/');
  return out;
}

std::string JoinPath(std::string_view a, std::string_view b) {
  if (b.empty()) return std::string(a);
  if (a.empty()) return std::string(b);
  const bool a_slash = a.back() == '/';
  const bool b_slash = b.front() == '/';
  std::string out(a);
  if (!a_slash && !b_slash) {
    out += '/';
    out += b;
  } else if (a_slash && b_slash) {
    out += b.substr(1);
  } else {
    out += b;
  }
  return out;
}

std::string ParentFolder(std::string_view path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return std::string();
  const size_t slash = path.rfind('/', end - 1);
  if (slash == std::string_view::npos) return std::string();
  size_t cut = slash;
  while (cut > 0 && path[cut - 1] == '/') --cut;
  if (cut == 0) return "/";
  return std::string(path.substr(0, cut));
}

bool IsAbsolutePath(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return true;
  return !path.empty() && (path[0] == '/' || path[0] == '\\');
}

std::string ToSystemPathUtf8(std::string_view path, bool* needs_full_path) {
  std::string system(path);
  std::replace(system.begin(), system.end(), '/', '\\');
  *needs_full_path = false;
  if (path.size() < kLongPathThreshold) return system;
  *needs_full_path = true;
  // A long UNC path needs the "\\?\UNC\server\share" form: "\\?\" followed
  // by "\\server" names no valid file.
  if (system.size() >= 2 && system[0] == '\\' && system[1] == '\\') return "\\\\?\\UNC\\" + system.substr(2);
  return "\\\\?\\" + system;
}

}  // namespace nelko
