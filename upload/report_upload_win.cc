#include "upload/report_upload_win.h"

#include <windows.h>
#include <wininet.h>

#include <string>

#include "base/diag_output.h"
#include "upload/multipart_body.h"
#include "upload/scoped_internet_handle_win.h"
#include "upload/upload_endpoint.h"
#include "upload/url_parts_win.h"

namespace nelko {
namespace {

// No automatic redirects: WinINet would repeat the request at the new place,
// as a GET without the report for 301 to 303, and take that answer's
// success for the upload's, so a report that never arrived would be deleted.
// A redirect is a failure like any other status outside 200 to 299.
constexpr DWORD kRequestFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                                INTERNET_FLAG_NO_AUTO_REDIRECT;
static_assert(kRequestFlags == (0x04880200 | 0x00200000), "request flags");
static_assert((HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER) == 0x20000013, "status query");

const char* NullIfEmpty(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

int LastError() { return static_cast<int>(GetLastError()); }

}  // namespace

CacheStatus UploadReport(const CachedReport& report, const char* base_url) {
  if (report.data.empty()) return CacheStatus::kMissingReport;
  if (report.project_id.empty()) return CacheStatus::kProjectIdEmpty;

  const std::string url = BuildUploadUrl(base_url, report.project_id);
  std::string body;
  BuildMultipartBody(report, body);
  const auto length = static_cast<unsigned>(body.size());
  const UrlParts parts = CrackUrl(url);

  // Declared in this order so that they close in the reverse one: request,
  // connection, session.
  ScopedInternetHandle session(
      InternetOpenA(kUploadAgentName, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) {
    DiagPrintf("Failed to open the Internet with code %d\n", LastError());
    return CacheStatus::kFailedToUpload;
  }
  ScopedInternetHandle connection(InternetConnectA(session.get(), parts.host_name.c_str(), parts.port,
                                                   NullIfEmpty(parts.user_name), NullIfEmpty(parts.password),
                                                   INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) {
    DiagPrintf("Failed to open internet session to server '%s' (code %d)\n", url.c_str(), LastError());
    return CacheStatus::kFailedToUpload;
  }
  if (parts.scheme != "https") {
    DiagPrintf("Invalid URL scheme '%s' (expected 'https').\n", parts.scheme.c_str());
    return CacheStatus::kFailedToUpload;
  }
  // The path alone: a query or fragment of the URL is not sent.
  ScopedInternetHandle request(HttpOpenRequestA(connection.get(), "POST", parts.url_path.c_str(), "HTTP/1.1",
                                                nullptr, nullptr, kRequestFlags, 0));
  if (!request) {
    DiagPrintf("Failed to open HTTP request to server '%s' (code %d)\n", url.c_str(), LastError());
    return CacheStatus::kFailedToUpload;
  }

  const std::string headers = BuildUploadHeaders(body.size());
  // A body beyond 32 bits cannot be handed to WinINet in one call.
  const bool fits = body.size() <= MAXDWORD;
  if (!fits || !HttpSendRequestA(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()), &body[0],
                                 static_cast<DWORD>(body.size()))) {
    const int error = fits ? LastError() : ERROR_INVALID_PARAMETER;
    DiagPrintf("Failed to upload %u bytes to server '%s' (code %d)\n", length, url.c_str(), error);
    return CacheStatus::kFailedToUpload;
  }

  DWORD status = 0;
  DWORD status_size = sizeof(status);
  DWORD index = 0;
  if (!HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &status_size,
                      &index)) {
    DiagPrintf("Upload of %u bytes to server '%s' completed, but received no response (Win32 code %d)\n",
               length, url.c_str(), LastError());
    return CacheStatus::kFailedToUpload;
  }
  if (index != 0 && index != ERROR_HTTP_HEADER_NOT_FOUND) {
    DiagPrintf(
        "Warning: Upload of %u bytes to server '%s' completed, but received multiple status codes! (first "
        "code: "
        "%u)\n",
        length, url.c_str(), static_cast<unsigned>(status));
  }
  if (status >= 200 && status <= 299) return CacheStatus::kOk;
  DiagPrintf("Upload of %u bytes to server '%s' completed, the server responded with code %u\n", length,
             url.c_str(), static_cast<unsigned>(status));
  return CacheStatus::kFailedToUpload;
}

CacheStatus UploadReport(const CachedReport& report) { return UploadReport(report, kUploadBaseUrl); }

}  // namespace nelko
