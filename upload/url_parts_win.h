#pragma once
// A URL split into its parts by WinINet.
#include <cstdint>
#include <string>

namespace nelko {

struct UrlParts {
  std::string scheme;
  std::string host_name;
  std::string user_name;
  std::string password;
  std::string url_path;
  std::string extra_info;  // "?query" or "#fragment"
  uint16_t port = 0;
};

// Splits a URL with InternetCrackUrlA. When it cannot be split every string
// stays empty and the port 0.
UrlParts CrackUrl(const std::string& url);

}  // namespace nelko
