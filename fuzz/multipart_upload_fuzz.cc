// The upload request built from an arbitrary project id and report bytes:
// the Content-Length header always equals the body's length, the body always
// carries the report bytes whole between its fixed parts, and the URL always
// parses back to the endpoint's host and the reports path of exactly that id.
//
// Input: the project id, a 0x00 byte, then the report bytes (without a 0x00
// the whole input is the id and the report is empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "report/cached_report.h"
#include "upload/multipart_body.h"

namespace {

constexpr std::string_view kHost = "localhost";
constexpr std::string_view kBaseUrl = "https://localhost:47443";

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits "scheme://host[:port]/path" as a URL parser does: the host ends at
// the first '/', '?', '#' or ':' after "//", the path runs to the first '?' or
// '#'. Returns false when the text is not of that shape.
bool SplitUrl(std::string_view url, std::string_view* host, std::string_view* path, std::string_view* rest) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return false;
  const size_t host_start = scheme_end + 3;
  const size_t authority_end = url.find_first_of("/?#", host_start);
  if (authority_end == std::string_view::npos || url[authority_end] != '/') return false;
  std::string_view authority = url.substr(host_start, authority_end - host_start);
  *host = authority.substr(0, authority.find(':'));
  const size_t path_end = url.find_first_of("?#", authority_end);
  *path = url.substr(authority_end,
                     path_end == std::string_view::npos ? std::string_view::npos : path_end - authority_end);
  *rest = path_end == std::string_view::npos ? std::string_view() : url.substr(path_end);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nelko;
  const std::string_view input(size == 0 ? "" : reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  CachedReport report;
  report.project_id = std::string(input.substr(0, split));
  if (split != std::string_view::npos) report.data = std::string(input.substr(split + 1));

  // The body: the fixed parts around the report bytes, whatever they hold.
  std::string body;
  BuildMultipartBody(report, body);
  const std::string head = std::string("--") + kMultipartBoundary + "\r\n";
  const std::string tail = std::string("\r\n--") + kMultipartBoundary + "--\r\n";
  Check(body.size() >= head.size() + report.data.size() + tail.size());
  Check(body.compare(0, head.size(), head) == 0);
  Check(body.compare(body.size() - tail.size(), tail.size(), tail) == 0);
  Check(body.compare(body.size() - tail.size() - report.data.size(), report.data.size(), report.data) == 0);
  static const size_t overhead = [] {
    std::string empty;
    BuildMultipartBody(CachedReport{}, empty);
    return empty.size();
  }();
  Check(body.size() == overhead + report.data.size());

  // The headers name exactly that length, once.
  const std::string headers = BuildUploadHeaders(body.size());
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  Check(headers.find(length) != std::string::npos);
  Check(headers.find("Content-Length: ") == headers.rfind("Content-Length: "));
  Check(headers.size() >= 2 && headers.compare(headers.size() - 2, 2, "\r\n") == 0);

  // The URL: the endpoint's host, and the path of this id's reports, whose
  // one segment decodes back to the id and cannot be a path step.
  const std::string url = BuildUploadUrl(kBaseUrl, report.project_id);
  std::string_view host, path, rest;
  Check(SplitUrl(url, &host, &path, &rest));
  Check(host == kHost);
  Check(rest.empty());
  constexpr std::string_view kPrefix = "/api/v2/projects/";
  constexpr std::string_view kSuffix = "/reports";
  Check(path.size() >= kPrefix.size() + kSuffix.size());
  Check(path.substr(0, kPrefix.size()) == kPrefix);
  Check(path.substr(path.size() - kSuffix.size()) == kSuffix);
  const std::string_view segment = path.substr(kPrefix.size(), path.size() - kPrefix.size() - kSuffix.size());
  Check(segment != "." && segment != "..");
  std::string decoded;
  for (size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] == '%') {
      Check(i + 2 < segment.size());
      const int high = HexValue(segment[i + 1]);
      const int low = HexValue(segment[i + 2]);
      Check(high >= 0 && low >= 0);
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      Check(IsUnreserved(segment[i]));
      decoded += segment[i];
    }
  }
  Check(decoded == report.project_id);
  return 0;
}
