#include "report/cached_report.h"

#include <cstdio>
#include <cstring>

namespace nelko {
namespace {

constexpr char kMagic[4] = {'N', 'C', 'R', 'M'};

void PutU32(std::string& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<char>(value >> (8 * i));
}

uint32_t GetU32(std::string_view in, size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(in[offset + i])) << (8 * i);
  return value;
}

}  // namespace

// Any fixed bytes do; writer and reader must agree.
const uint8_t kReportDigestSalt[32] = {
    0x6e, 0x65, 0x6c, 0x6b, 0x6f, 0x2d, 0x63, 0x72, 0x61, 0x73, 0x68, 0x2d, 0x63, 0x61, 0x63, 0x68,
    0x65, 0x9d, 0x3b, 0x51, 0xe2, 0x07, 0xc4, 0x88, 0x1f, 0x6a, 0xb0, 0x2e, 0x94, 0x73, 0x0c, 0xd5,
};

Md5::Digest DigestOfReportBytes(std::string_view report) {
  static const uint8_t kZeros[3] = {0, 0, 0};
  Md5 md5;
  md5.Update(report);
  md5.Update(kZeros, (4 - report.size() % 4) % 4);
  md5.Update(kReportDigestSalt, sizeof(kReportDigestSalt));
  return md5.Finish();
}

std::string BuildCacheMetadata(const Md5::Digest& report_digest, std::string_view project_id) {
  // The id field is NUL-terminated text: an id with a NUL byte is recorded
  // as the text up to it, which is also what the report's JSON carries.
  project_id = project_id.substr(0, project_id.find('\0'));
  const size_t size = project_id.size() < kCacheMetadataProjectIdField
                          ? kCacheMetadataSize
                          : kCacheMetadataProjectIdOffset + project_id.size() + 1;
  if (size > kMaxCacheMetadataSize) return std::string();
  std::string record(size, '\0');
  std::memcpy(&record[0], kMagic, sizeof(kMagic));
  PutU32(record, 4, static_cast<uint32_t>(size));
  PutU32(record, 8, kCacheMetadataVersion);
  std::memcpy(&record[kCacheMetadataDigestOffset], report_digest.data(), report_digest.size());
  if (!project_id.empty())
    std::memcpy(&record[kCacheMetadataProjectIdOffset], project_id.data(), project_id.size());
  return record;
}

CacheStatus CheckCacheMetadata(std::string_view metadata, const Md5::Digest& report_digest,
                               std::string* project_id) {
  if (metadata.size() < kCacheMetadataSize || metadata.size() > kMaxCacheMetadataSize ||
      std::memcmp(metadata.data(), kMagic, sizeof(kMagic)) != 0 || GetU32(metadata, 4) != metadata.size()) {
    return CacheStatus::kMetadataCorrupt;
  }
  if ((GetU32(metadata, 8) & 0xFFFF) > kCacheMetadataVersion) return CacheStatus::kUnknownVersion;
  std::string_view id = metadata.substr(kCacheMetadataProjectIdOffset);
  id = id.substr(0, id.find('\0'));
  if (id.empty()) return CacheStatus::kProjectIdEmpty;
  if (std::memcmp(metadata.data() + kCacheMetadataDigestOffset, report_digest.data(), report_digest.size()) !=
      0) {
    return CacheStatus::kCorruptReport;
  }
  project_id->assign(id.data(), id.size());
  return CacheStatus::kOk;
}

std::wstring MetaPathFor(std::wstring_view report_path) {
  const size_t dot = report_path.rfind(L'.');
  std::wstring meta(report_path.substr(0, dot));
  meta += L".meta";
  return meta;
}

std::wstring RefusalsPathFor(std::wstring_view report_path) {
  const size_t dot = report_path.rfind(L'.');
  std::wstring refusals(report_path.substr(0, dot));
  refusals += L".refusals";
  return refusals;
}

std::wstring ReportFileName(const CacheTimeStamp& t, unsigned attempt) {
  char name[160];
  if (attempt == 0) {
    std::snprintf(name, sizeof(name), "CrashReport%04d-%02d-%02d_%02d%02d%02d%03d.json.gz", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.millisecond);
  } else {
    std::snprintf(name, sizeof(name), "CrashReport%04d-%02d-%02d_%02d%02d%02d%03d_%u.json.gz", t.year,
                  t.month, t.day, t.hour, t.minute, t.second, t.millisecond, attempt);
  }
  // The name is ASCII, so widening byte by byte is exact.
  return std::wstring(name, name + std::strlen(name));
}

}  // namespace nelko
