#include "report/cache_status.h"

namespace nelko {

const char* CacheStatusText(CacheStatus status) {
  switch (status) {
    case CacheStatus::kOk:
      return "OK";
    case CacheStatus::kMissingMetadata:
      return "Missing metadata";
    case CacheStatus::kMissingReport:
      return "Missing report";
    case CacheStatus::kMetadataCorrupt:
      return "Metadata corrupt or wrong version";
    case CacheStatus::kCorruptReport:
      return "Corrupt report";
    case CacheStatus::kUnknownVersion:
      return "Unknown version";
    case CacheStatus::kFailedToWrite:
      return "Failed to write";
    case CacheStatus::kFailedToUpload:
      return "Failed to upload";
    case CacheStatus::kProjectIdEmpty:
      return "ProjectID is empty";
  }
  return "Unknown error";
}

}  // namespace nelko
