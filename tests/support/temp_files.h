#pragma once
// Portable test helpers for files in the temporary folder.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace nelko::test {

// `<temporary folder>/nelko_<name>`, with forward slashes.
inline std::string TempFilePath(const std::string& name) {
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || *base == '\0') base = std::getenv("TEMP");
  std::string folder = base != nullptr && *base != '\0' ? base : "/tmp";
  for (char& c : folder) {
    if (c == '\\') c = '/';
  }
  return folder + "/nelko_" + name;
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace nelko::test
