#pragma once
// Path rules of the file layer. The layer's form is UTF-8 with forward
// slashes; only a leading "\\server\" keeps its backslashes. Pure functions,
// so the same rules are checked natively and on Windows.
#include <cstddef>
#include <string>
#include <string_view>

namespace nelko {

// Longest path an entry keeps, in bytes (the rest is cut).
constexpr size_t kMaxFilePathLength = 1039;
// Paths of this many bytes or more get the "\\?\" prefix for the system.
constexpr size_t kLongPathThreshold = 248;

// The layer's form of a path: cut to kMaxFilePathLength bytes, every
// backslash turned into a slash except the two leading backslashes of a UNC
// path, its server name and the backslash after it.
std::string ToLayerPath(std::string_view path);

// A then B with exactly the separator rules of the layer (see file_path.cc).
std::string JoinPath(std::string_view a, std::string_view b);

// The folder above path: "C:/A/B/app.exe" -> "C:/A/B", "C:/A/B/" -> "C:/A",
// "/app.exe" -> "/", "app.exe" -> "".
std::string ParentFolder(std::string_view path);

// At least two bytes with a colon second, or a leading slash or backslash.
bool IsAbsolutePath(std::string_view path);

// The UTF-8 text handed to the system for an (already absolute) layer path:
// slashes become backslashes, and from kLongPathThreshold bytes on the
// "\\?\" prefix is put in front. Sets *needs_full_path when the prefix was
// added (the caller then lets the system normalise the result).
std::string ToSystemPathUtf8(std::string_view path, bool* needs_full_path);

}  // namespace nelko
