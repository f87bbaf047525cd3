#pragma once
// What the engine has told the attach session over the command channel:
// report metadata, files to attach, paths, names, switches and the log ring.
// The command dispatcher is the only writer and changes it only under
// `mutex`; the crash pipeline works on a copy taken under the same lock, so a
// command arriving during a crash can never tear a text or a map it reads.
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/recursive_mutex.h"
#include "session/log_ring.h"

namespace nelko {

constexpr size_t kMaxUserMetadataKeyBytes = 255;
constexpr size_t kMaxUserMetadataValueBytes = 1024;

// Orders keys by their bytes taken as unsigned, a shorter key before every
// longer key that starts with it.
struct BytewiseLess {
  bool operator()(std::string_view a, std::string_view b) const {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
      const unsigned char x = static_cast<unsigned char>(a[i]);
      const unsigned char y = static_cast<unsigned char>(b[i]);
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

using TextMap = std::map<std::string, std::string, BytewiseLess>;

struct AttachedFile {
  std::string path;  // '\' as separator
  std::string description;
};

struct SessionSettings {
  // SetMetaData; "ReportJson" feeds the report, every key the bug reporter.
  TextMap metadata;
  // AddFile / RemoveFile, in the order added.
  std::vector<AttachedFile> attached_files;
  // SetBugReporterAppPath, stored as sent; a custom bug reporter runs only
  // when it is not empty.
  std::string bug_reporter_command;
  // SetCrashReportPath, '\' as separator.
  std::string crash_report_path;
  // SetAppName.
  std::string app_name = "<unknown>";
  // SetVendor.
  std::string vendor;
  // SetInfo.
  std::string info = "<not set>";
  // SetMonoPath, '\' as separator.
  std::string mono_path;
  // SetAnalyticsCrashFilePath, '\' as separator.
  std::string analytics_crash_file_path;
  // SetShowDialog.
  bool show_dialog = true;
  // SetIsEditor.
  bool is_editor = false;
  // SetUserMetaData: keys of at most 255 bytes, values of at most 1024.
  TextMap user_metadata;
  // SetLogBufferSize / RecordLogMessage.
  LogRing log_ring;

  // Held by the command handler while it applies a message.
  mutable RecursiveMutex mutex;

  // Copies every field into `copy` (whose own fields are replaced), all at
  // one instant under `mutex`: what a crash is processed with.
  void CopyTo(SessionSettings& copy) const;
};

}  // namespace nelko
