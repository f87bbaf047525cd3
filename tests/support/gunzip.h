#pragma once
// Test helper: the text inside a gzip file; empty when it is not one whole
// gzip stream.
#include <cstdint>
#include <string>

#include "report/gzip.h"

namespace nelko::test {

inline std::string Gunzip(const std::string& bytes) {
  std::string out;
  return DecompressGzip(bytes, &out, SIZE_MAX) == GunzipResult::kOk ? out : std::string();
}

}  // namespace nelko::test
