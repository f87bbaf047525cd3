// The reader's checks of a cached report's metadata file on arbitrary bytes:
// no input may read out of bounds, and what the checks accept must be what
// the writer would have produced for that project id.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "report/cache_status.h"
#include "report/cached_report.h"

namespace {

// The report file beside the metadata; the seed corpus holds records
// written for it, so the fuzzer starts from files that pass every check.
constexpr std::string_view kReport(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x0a"
    "fuzz",
    14);

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nelko;
  static const Md5::Digest digest = DigestOfReportBytes(kReport);
  const std::string_view metadata(size == 0 ? "" : reinterpret_cast<const char*>(data), size);

  std::string project_id = "untouched";
  const CacheStatus status = CheckCacheMetadata(metadata, digest, &project_id);
  switch (status) {
    case CacheStatus::kOk:
      Check(!project_id.empty() && project_id.find('\0') == std::string::npos);
      Check(metadata.size() >= kCacheMetadataSize && metadata.substr(0, 4) == "NCRM");
      break;
    case CacheStatus::kMetadataCorrupt:
    case CacheStatus::kUnknownVersion:
    case CacheStatus::kProjectIdEmpty:
    case CacheStatus::kCorruptReport:
      Check(project_id == "untouched");
      break;
    default:
      Check(false);
  }

  // The same bytes as a project id: what the writer records reads back as
  // exactly the id up to its first NUL (the record's text), never otherwise
  // cut or altered.
  const std::string_view id = metadata.substr(0, metadata.find('\0'));
  const std::string record = BuildCacheMetadata(digest, metadata);
  Check(!record.empty());
  std::string read;
  const CacheStatus again = CheckCacheMetadata(record, digest, &read);
  Check(id.empty() ? again == CacheStatus::kProjectIdEmpty : again == CacheStatus::kOk);
  Check(id.empty() || read == id);
  return 0;
}
