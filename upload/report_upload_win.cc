#include "upload/report_upload_win.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/diag_output.h"
#include "base/scoped_handle_win.h"
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

// WinINet's own limits for the connection and every read and write on it.
void SetTimeouts(HINTERNET handle, const UploadLimits& limits) {
  DWORD connect = limits.connect_ms;
  DWORD send = limits.send_ms;
  DWORD receive = limits.receive_ms;
  InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
  InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof(send));
  InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof(receive));
  InternetSetOptionA(handle, INTERNET_OPTION_DATA_SEND_TIMEOUT, &send, sizeof(send));
  InternetSetOptionA(handle, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &receive, sizeof(receive));
}

// One request, made on a thread of its own so that the caller can stop
// waiting for it. WinINet's limits bound each connect, read and write; a
// server that answers a byte at a time passes every one of them, so the
// whole request has a limit of its own, kept by the caller. When it runs out
// the caller closes the request handle, which ends the wait on Windows; Wine
// goes on waiting for the next byte regardless (measured), so the caller
// leaves the thread to end on its own and drops what it finds.
struct Attempt {
  // Made by the caller before the thread starts.
  std::string url;
  UrlParts parts;
  std::string body;
  std::string headers;
  unsigned length = 0;
  UploadOptions options;
  ScopedHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  // Written by the thread before `done` is set.
  CacheStatus status = CacheStatus::kFailedToUpload;
  uint32_t http_status = 0;
  std::string messages;
  // The request handle while a call may block on it, for the caller to close.
  ScopedCriticalSection lock;
  HINTERNET request = nullptr;
  bool abandoned = false;
  // The caller and the thread; the last one to let go deletes it.
  std::atomic<int> holders{2};

  void Release() {
    if (--holders == 0) delete this;
  }

  // The messages of the attempt, printed by the caller once it is over, so
  // that an abandoned attempt never prints into a later report's line.
  void Say(const char* format, ...) NELKO_PRINTF_FORMAT(2, 3) {
    char text[2048];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n > 0)
      messages.append(text,
                      static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : sizeof(text) - 1);
  }
};

// While it lives, the caller may close the request; at its end the request
// is closed by its owner unless the caller closed it already.
class RequestShared {
 public:
  RequestShared(Attempt& attempt, ScopedInternetHandle& request) : attempt_(attempt), request_(request) {
    CriticalSectionLock hold(attempt_.lock);
    attempt_.request = request_.get();
  }
  ~RequestShared() {
    CriticalSectionLock hold(attempt_.lock);
    attempt_.request = nullptr;
    if (attempt_.abandoned) request_.release();
  }
  RequestShared(const RequestShared&) = delete;
  RequestShared& operator=(const RequestShared&) = delete;

 private:
  Attempt& attempt_;
  ScopedInternetHandle& request_;
};

CacheStatus Post(Attempt& a) {
  // Declared in this order so that they close in the reverse one: request,
  // connection, session.
  ScopedInternetHandle session(
      InternetOpenA(kUploadAgentName, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) {
    a.Say("Failed to open the Internet with code %d\n", LastError());
    return CacheStatus::kFailedToUpload;
  }
  // Set on the session too, so that the connection inherits them.
  SetTimeouts(session.get(), a.options.limits);
  ScopedInternetHandle connection(
      InternetConnectA(session.get(), a.parts.host_name.c_str(), a.parts.port, NullIfEmpty(a.parts.user_name),
                       NullIfEmpty(a.parts.password), INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) {
    a.Say("Failed to open internet session to server '%s' (code %d)\n", a.url.c_str(), LastError());
    return CacheStatus::kFailedToUpload;
  }
  if (a.parts.scheme != "https") {
    a.Say("Invalid URL scheme '%s' (expected 'https').\n", a.parts.scheme.c_str());
    return CacheStatus::kFailedToUpload;
  }
  // The path alone: a query or fragment of the URL is not sent.
  ScopedInternetHandle request(HttpOpenRequestA(connection.get(), "POST", a.parts.url_path.c_str(),
                                                "HTTP/1.1", nullptr, nullptr, kRequestFlags, 0));
  if (!request) {
    a.Say("Failed to open HTTP request to server '%s' (code %d)\n", a.url.c_str(), LastError());
    return CacheStatus::kFailedToUpload;
  }
  SetTimeouts(request.get(), a.options.limits);
  const RequestShared shared(a, request);

  // A body beyond 32 bits cannot be handed to WinINet in one call.
  if (a.body.size() > MAXDWORD ||
      !HttpSendRequestA(request.get(), a.headers.c_str(), static_cast<DWORD>(a.headers.size()), &a.body[0],
                        static_cast<DWORD>(a.body.size()))) {
    const int error = a.body.size() > MAXDWORD ? ERROR_INVALID_PARAMETER : LastError();
    a.Say("Failed to upload %u bytes to server '%s' (code %d)\n", a.length, a.url.c_str(), error);
    return CacheStatus::kFailedToUpload;
  }

  DWORD status = 0;
  DWORD status_size = sizeof(status);
  DWORD index = 0;
  const StatusQueryFunction query =
      a.options.query_status != nullptr ? a.options.query_status : &HttpQueryInfoA;
  if (!query(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &status_size, &index)) {
    a.Say("Upload of %u bytes to server '%s' completed, but received no response (Win32 code %d)\n", a.length,
          a.url.c_str(), LastError());
    return CacheStatus::kFailedToUpload;
  }
  a.http_status = status;
  if (index != 0 && index != ERROR_HTTP_HEADER_NOT_FOUND) {
    a.Say(
        "Warning: Upload of %u bytes to server '%s' completed, but received multiple status codes! (first "
        "code: %u)\n",
        a.length, a.url.c_str(), static_cast<unsigned>(status));
  }
  if (status >= 200 && status <= 299) return CacheStatus::kOk;
  a.Say("Upload of %u bytes to server '%s' completed, the server responded with code %u\n", a.length,
        a.url.c_str(), static_cast<unsigned>(status));
  return CacheStatus::kFailedToUpload;
}

DWORD WINAPI AttemptMain(void* param) {
  auto* attempt = static_cast<Attempt*>(param);
  attempt->status = Post(*attempt);
  SetEvent(attempt->done.get());
  attempt->Release();
  return 0;
}

}  // namespace

CacheStatus UploadReport(const CachedReport& report, const char* base_url, const UploadOptions& options,
                         UploadAnswer* answer) {
  UploadAnswer ignored;
  if (answer == nullptr) answer = &ignored;
  *answer = UploadAnswer();
  if (report.data.empty()) return CacheStatus::kMissingReport;
  if (report.project_id.empty()) return CacheStatus::kProjectIdEmpty;

  // Built here: the formatting of the body and the URL is this thread's.
  auto* attempt = new Attempt;
  attempt->url = BuildUploadUrl(base_url, report.project_id);
  BuildMultipartBody(report, attempt->body);
  attempt->length = static_cast<unsigned>(attempt->body.size());
  attempt->headers = BuildUploadHeaders(attempt->body.size());
  attempt->parts = CrackUrl(attempt->url);
  attempt->options = options;

  const ScopedHandle thread(attempt->done ? CreateThread(nullptr, 0, &AttemptMain, attempt, 0, nullptr)
                                          : nullptr);
  if (!thread) {
    // No thread to spare: the request is made here, with WinINet's limits only.
    attempt->status = Post(*attempt);
    attempt->Release();
  } else if (WaitForSingleObject(attempt->done.get(), options.limits.request_ms) != WAIT_OBJECT_0) {
    {
      CriticalSectionLock hold(attempt->lock);
      attempt->abandoned = true;
      if (attempt->request != nullptr) InternetCloseHandle(attempt->request);
      attempt->request = nullptr;
    }
    answer->abandoned = true;
    DiagPrintf("Upload of %u bytes to server '%s' abandoned: no whole answer within %u seconds\n",
               attempt->length, attempt->url.c_str(),
               static_cast<unsigned>(options.limits.request_ms / 1000));
    attempt->Release();
    return CacheStatus::kFailedToUpload;
  }
  if (!attempt->messages.empty()) DiagPrintf("%s", attempt->messages.c_str());
  answer->http_status = attempt->http_status;
  const CacheStatus status = attempt->status;
  attempt->Release();
  return status;
}

CacheStatus UploadReport(const CachedReport& report, const char* base_url) {
  return UploadReport(report, base_url, UploadOptions());
}

CacheStatus UploadReport(const CachedReport& report) { return UploadReport(report, kUploadBaseUrl); }

}  // namespace nelko
