#pragma once
// The request that carries one cached report to the crash-analytics service:
// its target URL, its extra headers and its multipart/form-data body. Portable
// so that the exact bytes are checked natively under the sanitizers.
#include <cstddef>
#include <string>
#include <string_view>

#include "base/diag_output.h"
#include "report/cached_report.h"

namespace nelko {

// Ten hyphens and 22 letters and digits; never occurs in the text parts.
constexpr char kMultipartBoundary[] = "----------V2ymHFg03ehbqgZCaKO6jy";
constexpr char kUploadUrlFormat[] = "%s/api/v2/projects/%s/reports";
constexpr char kUploadAgentName[] = "NelkoCrashHandler";

struct FormField {
  const char* name;
  const char* value;
};
// Sent in this order, before the file part.
constexpr FormField kUploadFormFields[] = {{"ver", "1.0"}, {"lan", "en"}};
constexpr char kUploadFileField[] = "file";
constexpr char kUploadFileName[] = "data.crashreportevent.gz";
constexpr char kUploadFileType[] = "application/octet-stream";

// Size of the scratch buffer AppendFormatted starts with and grows by.
constexpr size_t kFormatScratchStep = 1024;

// Appends the printf-style text (without its terminating zero) to out,
// formatting through one process-wide scratch buffer that grows in steps of
// kFormatScratchStep until the text fits. Main thread only: the buffer is not
// locked. False (and nothing appended) when the format cannot be rendered.
bool AppendFormatted(std::string& out, const char* format, ...) NELKO_PRINTF_FORMAT(2, 3);

// Current size of that scratch buffer (for tests).
size_t FormatScratchSize();

// Appends the whole body: the two form fields, the file part with the report
// bytes unchanged, and the closing boundary.
void BuildMultipartBody(const CachedReport& report, std::string& out);

// "Content-Type: multipart/form-data; boundary=<boundary>\r\n"
// "Content-Length: <body_length>\r\n"
std::string BuildUploadHeaders(size_t body_length);

// kUploadUrlFormat filled with the base URL and the project id. Bytes of the
// id other than letters, digits and "-._~" are percent-encoded (and the dots
// of an id made only of dots), so an id cannot change the path, add a query
// or break the request line.
std::string BuildUploadUrl(std::string_view base_url, std::string_view project_id);

}  // namespace nelko
