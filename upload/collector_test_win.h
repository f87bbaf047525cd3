#pragma once
// Test helpers around the local collectors (tools/collector): their ports,
// folders and base URL, and what the collector stored per project id.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "report/report_cache_win.h"

namespace nelko::test {

// The collector's port and folder come from the environment that ctest gives
// the upload tests (upload/CMakeLists.txt), so any build with tests compiles,
// whatever endpoint is built in. A test run by hand without them fails here,
// saying what is missing, rather than talking to some other server.
inline std::string CollectorSetting(const char* name) {
  char value[1024];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof(value));
  if (n == 0 || n >= sizeof(value)) {
    ADD_FAILURE() << name << " is not set: run the upload tests through ctest, which starts the collector";
    return std::string();
  }
  return std::string(value, n);
}

inline unsigned CollectorPort() {
  return static_cast<unsigned>(std::atoi(CollectorSetting("NELKO_COLLECTOR_PORT").c_str()));
}

// The folder where the collector stores what it received, as a Windows path.
inline std::string CollectorStore() { return CollectorSetting("NELKO_COLLECTOR_STORE"); }

inline std::string CollectorBaseUrl() { return "https://localhost:" + std::to_string(CollectorPort()); }

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
  return CollectorStore() + "/" + project + "/" + std::to_string(n) + "." + suffix;
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
  const std::string path = CollectorStore() + "/" + project + ".release";
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// Whether this process runs as a Windows user of its own (ctest gives each
// such test the Unix USER "<prefix><test>", from which Wine takes the user
// and so the profile holding LocalLow); then *cache is that user's report
// cache, which the handlers the test starts see too and no other test does.
inline bool UseOwnReportCache(const std::wstring& prefix, std::wstring* cache, std::string* why) {
  wchar_t user[256];
  const DWORD n = GetEnvironmentVariableW(L"USER", user, 256);
  if (n == 0 || n >= 256 || std::wstring(user, n).rfind(prefix, 0) != 0) {
    *why = "no Windows user of its own: USER does not begin with " + Narrow(prefix) +
           " (ctest sets it per upload test)";
    return false;
  }
  // The known folder LocalLow exists only once created; without it the
  // cache would fall back to the temporary folder, which all users share.
  // It lies in the user's folder beside the others in the profiles folder.
  wchar_t profile[MAX_PATH];
  const DWORD m = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  if (m == 0 || m >= MAX_PATH) {
    *why = "no user profile: USERPROFILE is not set";
    return false;
  }
  const std::wstring profiles(profile, std::wstring(profile, m).rfind(L'\\') + 1);
  const std::wstring local_low = profiles + std::wstring(user, n) + L"\\AppData\\LocalLow";
  SHCreateDirectoryExW(nullptr, local_low.c_str(), nullptr);
  *cache = nelko::GetCacheFolder();
  if (*cache != local_low + L"\\Nelko\\CrashReports\\") {
    *why = "no report cache of its own: the cache is " + Narrow(*cache) + ", not in this user's " +
           Narrow(local_low);
    return false;
  }
  return true;
}

// Removes the files of the report cache, then the folder.
inline void RemoveReportCache(const std::wstring& cache) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((cache + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        DeleteFileW((cache + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(cache.c_str());
}

}  // namespace nelko::test
