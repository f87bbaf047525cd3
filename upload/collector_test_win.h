#pragma once
// Test helpers around the local collector (tools/collector): the base URL of
// the build's endpoint, and what the collector stored per project id.
#include <windows.h>

#include <string>

namespace nelko::test {

#ifndef NELKO_COLLECTOR_PORT
#error "the upload tests need the build's endpoint on localhost (NELKO_UPLOAD_BASE_URL)"
#endif

constexpr unsigned kCollectorPort = NELKO_COLLECTOR_PORT;

inline std::string CollectorBaseUrl() { return "https://localhost:" + std::to_string(kCollectorPort); }

// A project id no other run of the tests uses: the collector answers by its
// prefix ("status-301-", "status-none-", "hold-") and files what it got
// under it.
inline std::string UniqueProjectId(const std::string& prefix) {
  return prefix + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount() % 100000);
}

inline std::string ReadWhole(const std::string& path, bool* found = nullptr) {
  std::string bytes;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (found != nullptr) *found = file != INVALID_HANDLE_VALUE;
  if (file == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

// The n-th request the collector received for a project: its record (JSON
// text with the checks made), the raw body, and the file part's bytes.
struct Received {
  bool found = false;
  std::string record;
  std::string body;
  std::string file;
  bool Valid() const { return record.find("\"problems\": []") != std::string::npos; }
};

inline std::string CollectorFile(const std::string& project, int n, const char* suffix) {
  return std::string(NELKO_COLLECTOR_STORE) + "/" + project + "/" + std::to_string(n) + "." + suffix;
}

inline Received ReceivedRequest(const std::string& project, int n) {
  Received received;
  // The record is written last, so once it is there the rest is whole.
  received.record = ReadWhole(CollectorFile(project, n, "json"), &received.found);
  if (!received.found) return received;
  received.body = ReadWhole(CollectorFile(project, n, "body"));
  received.file = ReadWhole(CollectorFile(project, n, "gz"));
  return received;
}

inline int ReceivedCount(const std::string& project) {
  int n = 0;
  while (ReceivedRequest(project, n).found) ++n;
  return n;
}

// Lets the collector answer a "hold-" request.
inline void ReleaseHeldRequest(const std::string& project) {
  const std::string path = std::string(NELKO_COLLECTOR_STORE) + "/" + project + ".release";
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace nelko::test
