#pragma once
// The on-disk format of the report cache, without the file calls: names,
// the salted report digest and the "NCRM" metadata record with its checks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "report/cache_status.h"
#include "report/md5.h"

namespace nelko {

// One cached report as read back: the gzip bytes unchanged and the project
// id it is to be uploaded under.
struct CachedReport {
  std::string data;
  std::string project_id;
};

// The metadata record: "NCRM", its size, the format version, the report
// digest and the NUL-terminated project id.
constexpr size_t kCacheMetadataSize = 65;
constexpr uint32_t kCacheMetadataVersion = 514;
constexpr size_t kCacheMetadataDigestOffset = 12;
constexpr size_t kCacheMetadataProjectIdOffset = 28;
constexpr size_t kCacheMetadataProjectIdField = 37;  // 36 bytes and the NUL
static_assert(kCacheMetadataProjectIdOffset + kCacheMetadataProjectIdField == kCacheMetadataSize,
              "the project id field ends the record");
// Largest metadata file the reader accepts.
constexpr uint64_t kMaxCacheMetadataSize = 2147483647;

extern const uint8_t kReportDigestSalt[32];

// MD5 of the report bytes, zero-padded to a multiple of 4, then the salt.
Md5::Digest DigestOfReportBytes(std::string_view report);

// The metadata record for a report. A project id of up to 36 bytes gives the
// 65-byte record. A longer one is kept whole in a longer record whose size
// field says so (the reader accepts those): cutting it would send the report
// to another project. An id with a NUL byte is recorded up to it. Empty when
// the record would exceed kMaxCacheMetadataSize.
std::string BuildCacheMetadata(const Md5::Digest& report_digest, std::string_view project_id);

// The reader's checks of a metadata file's bytes against the digest of its
// report, in order: size and magic (3), version (5), project id (10),
// digest (4). On kOk *project_id gets the id; otherwise it is untouched.
CacheStatus CheckCacheMetadata(std::string_view metadata, const Md5::Digest& report_digest,
                               std::string* project_id);

// The metadata path of a report path: its last extension replaced by
// ".meta" ("x.json.gz" -> "x.json.meta"), or ".meta" appended.
std::wstring MetaPathFor(std::wstring_view report_path);

// Where upload mode counts the times the server refused a report: its last
// extension replaced by ".refusals" ("x.json.gz" -> "x.json.refusals").
std::wstring RefusalsPathFor(std::wstring_view report_path);

// UTC time of caching, as it goes into a report file name.
struct CacheTimeStamp {
  int year, month, day, hour, minute, second, millisecond;
};

// "CrashReport<stamp>.json.gz". Further attempts for the same stamp add
// "_<attempt>" after the stamp, so a second report of the same millisecond
// neither replaces the first nor falls out of the "*.json.gz" listing.
std::wstring ReportFileName(const CacheTimeStamp& stamp, unsigned attempt);

}  // namespace nelko
