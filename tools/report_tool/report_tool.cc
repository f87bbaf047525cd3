#include "tools/report_tool/report_tool.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "platform/file_entry.h"
#include "platform/file_system.h"
#include "report/cache_status.h"
#include "report/cached_report.h"
#include "report/report_cache.h"
#include "tools/report_tool/report_view.h"

namespace nelko::report_tool {
namespace {

constexpr const char* kUsageText =
    "usage: report_tool list [FOLDER]\n"
    "       report_tool show FILE [--frames N] [--logs N]\n"
    "       report_tool verify FILE\n";

// A cached report file is a few hundred kilobytes; anything near this is not one.
constexpr uint64_t kMaxFileBytes = 1u << 30;

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why) {
  FileEntry entry(path);
  uint64_t size = 0;
  if (entry.fileSystem == nullptr || !entry.fileSystem->Open(entry, FileMode::kRead) ||
      !entry.fileSystem->Size(entry, &size)) {
    *why = "cannot be read";
    return false;
  }
  if (size > kMaxFileBytes) {
    *why = "is too large for a report (" + std::to_string(size) + " bytes)";
    return false;
  }
  try {
    bytes->assign(static_cast<size_t>(size), '\0');
  } catch (const std::exception&) {
    *why = "is too large for this process's memory";
    return false;
  }
  uint64_t done = 0;
  if (size != 0 && (!entry.fileSystem->ReadAt(entry, 0, size, &(*bytes)[0], &done) || done != size)) {
    *why = "cannot be read whole";
    return false;
  }
  return true;
}

bool FileExists(const std::string& path) {
  FileEntry entry(path);
  return entry.fileSystem != nullptr && entry.fileSystem->Open(entry, FileMode::kRead);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The caching time in a cache file's name ("CrashReport2026-12-08_143719716
// [_n].json.gz"), as a date; "-" for another name.
std::string NameTime(const std::string& name) {
  int y, mo, d, h, mi, s, ms;
  char rest[8];
  if (std::sscanf(name.c_str(), "CrashReport%4d-%2d-%2d_%2d%2d%2d%3d%7s", &y, &mo, &d, &h, &mi, &s, &ms,
                  rest) != 8) {
    return "-";
  }
  char text[40];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", y, mo, d, h, mi, s, ms);
  return text;
}

// The report in bytes: gzip (cached or received) or JSON as it is.
bool ReadReport(const std::string& bytes, CrashReport* report, std::string* why) {
  const bool gzip =
      bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0x1F && static_cast<uint8_t>(bytes[1]) == 0x8B;
  if (!gzip) return ParseReport(bytes, report, why);
  std::string json;
  return Gunzip(bytes, &json, why) && ParseReport(json, report, why);
}

// Strictly decimal, as the options expect.
bool ParseCount(const std::string& text, size_t* count) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *count = static_cast<size_t>(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

int List(const std::string& folder, std::string* out) {
  const std::vector<std::string> paths = ListCachedReportsIn(folder);
  if (paths.empty()) {
    *out += "No cached reports in " + folder + "\n";
    return kDone;
  }
  size_t sound = 0;
  for (const std::string& path : paths) {
    const std::string name = BaseName(path);
    std::string bytes, why;
    const std::string size =
        ReadWholeFile(path, &bytes, &why) ? std::to_string(bytes.size()) + " bytes" : "-";
    CachedReport cached;
    const CacheStatus status = ReadCachedReport(path, &cached);
    std::string verdict;
    CrashReport report;
    if (status != CacheStatus::kOk) {
      verdict = std::string("unsound: ") + CacheStatusText(status);
    } else if (!ReadReport(cached.data, &report, &why)) {
      verdict = "unsound: the pair checks out, but " + why;
    } else {
      verdict = "sound";
      ++sound;
    }
    char line[512];
    std::snprintf(line, sizeof(line), "%-44s %-20s %14s  %s  %s\n", name.c_str(),
                  status == CacheStatus::kOk ? cached.project_id.c_str() : "-", size.c_str(),
                  NameTime(name).c_str(), verdict.c_str());
    *out += line;
  }
  *out += std::to_string(paths.size()) + " cached report" + (paths.size() == 1 ? "" : "s") + " in " + folder +
          ", " + std::to_string(sound) + " sound\n";
  return kDone;
}

int Show(const std::string& path, size_t frames, size_t logs, std::string* out, std::string* err) {
  std::string bytes, why;
  if (!ReadWholeFile(path, &bytes, &why)) {
    *err += path + " " + why + "\n";
    return kUnsound;
  }
  int result = kDone;
  std::string pair;
  if (EndsWith(path, ".json.gz") && FileExists(MetaPathFor(path))) {
    CachedReport cached;
    const CacheStatus status = ReadCachedReport(path, &cached);
    if (status == CacheStatus::kOk) {
      pair = "sound, project '" + cached.project_id + "'";
    } else {
      pair = std::string("unsound: ") + CacheStatusText(status);
      result = kUnsound;
    }
  }
  CrashReport report;
  if (!ReadReport(bytes, &report, &why)) {
    *err += path + ": " + why + "\n";
    return kUnsound;
  }
  *out += "File:            " + path + "\n";
  if (!pair.empty()) *out += "Cache pair:      " + pair + "\n";
  *out += DescribeReport(report, frames, logs);
  if (result != kDone) *err += path + ": the cache pair is " + pair + "\n";
  return result;
}

int Verify(const std::string& path, std::string* out, std::string* err) {
  CachedReport cached;
  const CacheStatus status = ReadCachedReport(path, &cached);
  if (status != CacheStatus::kOk) {
    *err += path + ": " + CacheStatusText(status) + "\n";
    return kUnsound;
  }
  CrashReport report;
  std::string why;
  if (!ReadReport(cached.data, &report, &why)) {
    *err += path + ": the pair checks out, but " + why + "\n";
    return kUnsound;
  }
  *out += path + ": sound; project '" + cached.project_id + "', " + std::to_string(cached.data.size()) +
          " bytes, report " + report.client_report_id + "\n";
  return kDone;
}

int Usage(std::string* err, const std::string& why) {
  *err += "report_tool: " + why + "\n" + kUsageText;
  return kUsage;
}

}  // namespace

int RunReportTool(const std::vector<std::string>& args, const std::string& default_cache, std::string* out,
                  std::string* err) {
  if (args.empty()) return Usage(err, "no command");
  const std::string& command = args[0];
  if (command == "list") {
    if (args.size() > 2) return Usage(err, "list takes at most one folder");
    const std::string folder = args.size() == 2 ? args[1] : default_cache;
    if (folder.empty()) return Usage(err, "no folder given, and no default report cache here");
    return List(folder, out);
  }
  if (command == "show") {
    std::string path;
    size_t frames = 8, logs = 5;
    for (size_t i = 1; i < args.size(); ++i) {
      if ((args[i] == "--frames" || args[i] == "--logs") && i + 1 < args.size()) {
        if (!ParseCount(args[i + 1], args[i] == "--frames" ? &frames : &logs)) {
          return Usage(err, args[i] + " takes a number");
        }
        ++i;
      } else if (path.empty()) {
        path = args[i];
      } else {
        return Usage(err, "show takes one file");
      }
    }
    if (path.empty()) return Usage(err, "show needs a file");
    return Show(path, frames, logs, out, err);
  }
  if (command == "verify") {
    if (args.size() != 2) return Usage(err, "verify takes one file");
    return Verify(args[1], out, err);
  }
  return Usage(err, "unknown command '" + command + "'");
}

}  // namespace nelko::report_tool
