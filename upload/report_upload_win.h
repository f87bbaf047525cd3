#pragma once
// One cached report sent to the crash-analytics service: a synchronous
// multipart/form-data POST over HTTPS through WinINet.
#include <windows.h>
#include <wininet.h>

#include <cstdint>

#include "report/cache_status.h"
#include "report/cached_report.h"

namespace nelko {

// How long one request may take. WinINet's own limits apply to each connect,
// send and receive; a server that answers a byte at a time never runs into
// them, so the whole request has a limit of its own.
struct UploadLimits {
  DWORD connect_ms = 30000;
  DWORD send_ms = 60000;
  DWORD receive_ms = 60000;
  DWORD request_ms = 120000;
};

// Test seam: the status query, so a test can play answers the system does
// not produce on demand. Null (the default) queries WinINet.
using StatusQueryFunction = BOOL(WINAPI*)(HINTERNET request, DWORD info_level, void* buffer, DWORD* length,
                                          DWORD* index);

struct UploadOptions {
  UploadLimits limits;
  StatusQueryFunction query_status = nullptr;
};

// What the server answered: the HTTP status, 0 when there was none.
struct UploadAnswer {
  uint32_t http_status = 0;
  bool abandoned = false;  // the request ran beyond its limit
};

// Posts the report to "<base_url>/api/v2/projects/<project id>/reports".
// kOk for an answer from 200 to 299; kMissingReport for empty data and
// kProjectIdEmpty for an empty id (both silently, before any network use);
// otherwise prints why and returns kFailedToUpload. A request that runs
// beyond options.limits is abandoned with a line. No retries.
CacheStatus UploadReport(const CachedReport& report, const char* base_url, const UploadOptions& options,
                         UploadAnswer* answer = nullptr);
CacheStatus UploadReport(const CachedReport& report, const char* base_url);

// The same to the endpoint built into the handler, with the default limits.
CacheStatus UploadReport(const CachedReport& report);

}  // namespace nelko
