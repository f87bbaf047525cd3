#pragma once
// Results of writing, reading and uploading cached reports, with the texts
// by which upload mode reports them.
#include <cstdint>

namespace nelko {

enum class CacheStatus : int32_t {
  kOk = 0,
  kMissingMetadata = 1,
  kMissingReport = 2,    // unreadable report file, or nothing to write
  kMetadataCorrupt = 3,  // size or magic checks failed
  kCorruptReport = 4,    // digest mismatch
  kUnknownVersion = 5,
  kFailedToWrite = 6,
  kFailedToUpload = 8,
  kProjectIdEmpty = 10,
};

// "OK", "Missing metadata", ...; "Unknown error" for 7, 9 and above 10.
const char* CacheStatusText(CacheStatus status);

}  // namespace nelko
