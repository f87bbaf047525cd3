#pragma once
// Figures about the machine a benchmark runs on, read under Wine through its
// view of the Linux file system (Z:\proc): the load average, and the CPU
// time of other processes, which GetProcessTimes does not give under Wine
// (it answers with the caller's own). Empty or zero where there is no such
// file system.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace nelko::bench {

// The middle figure (the upper middle of an even count); 0 for none.
inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A program beside this one (the build puts them all in one folder).
inline std::wstring Sibling(const wchar_t* name) {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
  std::wstring path(buffer, n);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + name;
}

inline std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// "1.00 2.00 3.00" or "unknown".
inline std::string LoadAverage() {
  const std::string line = ReadWholeFile(L"Z:\\proc\\loadavg");
  if (line.empty()) return "unknown";
  const size_t third = line.find(' ', line.find(' ', line.find(' ') + 1) + 1);
  return line.substr(0, third);
}

// The CPU time (user and system) of a Linux process so far, in ms; 0 when
// it cannot be read.
inline double LinuxCpuMs(unsigned long linux_pid) {
  if (linux_pid == 0) return 0;
  const std::string stat = ReadWholeFile(L"Z:\\proc\\" + std::to_wstring(linux_pid) + L"\\stat");
  // Fields after the command name, which is in parentheses and may hold spaces.
  size_t at = stat.rfind(')');
  if (at == std::string::npos) return 0;
  // utime and stime are the 14th and 15th fields; the 3rd starts after ") ".
  for (int field = 3; field < 14 && at != std::string::npos; ++field) at = stat.find(' ', at + 1);
  if (at == std::string::npos) return 0;
  char* end = nullptr;
  const double user = std::strtod(stat.c_str() + at + 1, &end);
  const double system = std::strtod(end, nullptr);
  return (user + system) * 10.0;  // clock ticks of 10 ms
}

// The first Linux process whose command line (arguments joined by spaces)
// contains every one of `parts`; 0 when none does.
template <class... Parts>
unsigned long FindLinuxProcess(const Parts&... parts) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &entry);
  if (find == INVALID_HANDLE_VALUE) return 0;
  unsigned long found = 0;
  do {
    const std::wstring name = entry.cFileName;
    if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
    std::string line = ReadWholeFile(L"Z:\\proc\\" + name + L"\\cmdline");
    for (char& c : line) {
      if (c == '\0') c = ' ';
    }
    if ((... && (line.find(parts) != std::string::npos))) found = std::wcstoul(name.c_str(), nullptr, 10);
  } while (found == 0 && FindNextFileW(find, &entry));
  FindClose(find);
  return found;
}

// This Wine prefix's server, which does the work of every call into another
// process; 0 when it cannot be told apart.
inline unsigned long WineServerProcess() {
  char prefix[1024];
  const DWORD n = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
  if (n == 0 || n >= sizeof(prefix)) return 0;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &entry);
  if (find == INVALID_HANDLE_VALUE) return 0;
  unsigned long found = 0;
  const std::string wanted = std::string("WINEPREFIX=") + prefix + '\0';
  do {
    const std::wstring name = entry.cFileName;
    if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
    if (ReadWholeFile(L"Z:\\proc\\" + name + L"\\cmdline").find("wineserver") == std::string::npos) continue;
    if (ReadWholeFile(L"Z:\\proc\\" + name + L"\\environ").find(wanted) != std::string::npos) {
      found = std::wcstoul(name.c_str(), nullptr, 10);
    }
  } while (found == 0 && FindNextFileW(find, &entry));
  FindClose(find);
  return found;
}

}  // namespace nelko::bench
