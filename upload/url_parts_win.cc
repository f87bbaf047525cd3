#include "upload/url_parts_win.h"

#include <windows.h>
#include <wininet.h>

namespace nelko {
namespace {

// Each part comes back as a pointer into the URL and a length.
std::string Part(const char* start, DWORD length) {
  return start != nullptr ? std::string(start, length) : std::string();
}

}  // namespace

UrlParts CrackUrl(const std::string& url) {
  URL_COMPONENTSA components = {};
  components.dwStructSize = sizeof(components);
  // A non-zero length with a null pointer asks for a pointer into the URL.
  components.dwSchemeLength = 1;
  components.dwHostNameLength = 1;
  components.dwUserNameLength = 1;
  components.dwPasswordLength = 1;
  components.dwUrlPathLength = 1;
  components.dwExtraInfoLength = 1;
  UrlParts parts;
  if (!InternetCrackUrlA(url.c_str(), 0, 0, &components)) return parts;
  parts.scheme = Part(components.lpszScheme, components.dwSchemeLength);
  parts.host_name = Part(components.lpszHostName, components.dwHostNameLength);
  parts.user_name = Part(components.lpszUserName, components.dwUserNameLength);
  parts.password = Part(components.lpszPassword, components.dwPasswordLength);
  parts.url_path = Part(components.lpszUrlPath, components.dwUrlPathLength);
  parts.extra_info = Part(components.lpszExtraInfo, components.dwExtraInfoLength);
  parts.port = components.nPort;
  return parts;
}

}  // namespace nelko
