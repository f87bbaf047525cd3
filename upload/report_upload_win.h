#pragma once
// One cached report sent to the crash-analytics service: a synchronous
// multipart/form-data POST over HTTPS through WinINet.
#include "report/cache_status.h"
#include "report/cached_report.h"

namespace nelko {

// Posts the report to "<base_url>/api/v2/projects/<project id>/reports".
// kOk for an answer from 200 to 299; kMissingReport for empty data and
// kProjectIdEmpty for an empty id (both silently, before any network use);
// otherwise prints why and returns kFailedToUpload. No time limits of its
// own and no retries.
CacheStatus UploadReport(const CachedReport& report, const char* base_url);

// The same to the endpoint built into the handler.
CacheStatus UploadReport(const CachedReport& report);

}  // namespace nelko
