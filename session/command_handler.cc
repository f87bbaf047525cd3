#include "session/command_handler.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/decimal_parse.h"
#include "base/diag_output.h"
#include "base/utf8_cut.h"
#include "client/protocol.h"

namespace nelko {
namespace {

enum class Command {
  kAddFile,
  kRemoveFile,
  kSetIsEditor,
  kSetMetaData,
  kSetUserMetaData,
  kSetAppName,
  kSetVendor,
  kSetInfo,
  kSetShowDialog,
  kSetBugReporterAppPath,
  kSetCrashReportPath,
  kSetAnalyticsCrashFilePath,
  kSetMonoPath,
  kSetLogBufferSize,
  kRecordLogMessage,
};

struct CommandEntry {
  const char* name;
  Command command;
  int count;  // strings, the command name included
  const char* count_error;
};

constexpr CommandEntry kCommands[] = {
    {command::kAddFile, Command::kAddFile, 3, "Expected two parameters 'file' and 'desc'"},
    {command::kRemoveFile, Command::kRemoveFile, 2, "Expected parameter 'file'"},
    {command::kSetIsEditor, Command::kSetIsEditor, 2, "Expected parameter 'isEditor'"},
    {command::kSetMetaData, Command::kSetMetaData, 3, "Expected two parameters 'key' and 'value'"},
    {command::kSetUserMetaData, Command::kSetUserMetaData, 3, "Expected two parameters 'key' and 'value'"},
    {command::kSetAppName, Command::kSetAppName, 2, "Expected parameter 'name'"},
    {command::kSetVendor, Command::kSetVendor, 2, "Expected parameter 'vendor'"},
    {command::kSetInfo, Command::kSetInfo, 2, "Expected parameter 'info'"},
    {command::kSetShowDialog, Command::kSetShowDialog, 2, "Expected parameter 'showDialog'"},
    {command::kSetBugReporterAppPath, Command::kSetBugReporterAppPath, 2, "Expected parameter 'path'"},
    {command::kSetCrashReportPath, Command::kSetCrashReportPath, 2, "Expected parameter 'path'"},
    {command::kSetAnalyticsCrashFilePath, Command::kSetAnalyticsCrashFilePath, 2,
     "Expected parameter 'path'"},
    {command::kSetMonoPath, Command::kSetMonoPath, 2, "Expected parameter 'path'"},
    {command::kSetLogBufferSize, Command::kSetLogBufferSize, 2, "Expected parameter 'logBufferSize'"},
    {command::kRecordLogMessage, Command::kRecordLogMessage, 5,
     "Expected four parameters 'message', 'timestamp', 'framecount', and 'type'"},
};

// Paths from the engine may use '/'; the handler stores them with '\'.
std::string WindowsSeparators(const char* path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

// "true" or "false" exactly; anything else is reported with `reason`.
bool ApplySwitch(bool* target, const char* reason, const char* const* strings, int count) {
  if (std::strcmp(strings[1], "true") == 0) {
    *target = true;
  } else if (std::strcmp(strings[1], "false") == 0) {
    *target = false;
  } else {
    ReportCorruptMessage(reason, strings, count);
    return false;
  }
  return true;
}

}  // namespace

void ReportCorruptMessage(const char* reason, const char* const* strings, int count) {
  DiagPrintf("Corrupt message sent to crash handler: %s\nPayload:\n", reason);
  for (int i = 0; i < count; ++i) DiagPrintf("  [%d] %s\n", i, strings[i]);
}

void CommandHandler::HandleMessage(const char* data, size_t size) {
  strings_.clear();
  size_t offset = 0;
  while (offset < size) {
    const char* s = data + offset;
    strings_.push_back(s);
    // The caller guarantees a final NUL, so this never runs past the data.
    offset += std::strlen(s) + 1;
  }
  DispatchCommand(strings_.data(), static_cast<int>(strings_.size()));
}

void CommandHandler::DispatchCommand(const char* const* strings, int count) {
  if (count <= 0) {
    DiagPrintf("Corrupt message sent to crash handler: %s\nPayload:\n",
               "Empty message recieved by crash handler.");
    return;
  }
  RecursiveMutexLock lock(settings_.mutex);

  // The whole echo line goes out in one write: the engine's log traffic makes
  // this the handler's busiest path.
  echo_.assign("Message payload [");
  echo_ += std::to_string(count);
  echo_ += "]: ";
  for (int i = 0; i < count; ++i) {
    echo_ += '\'';
    echo_ += strings[i];
    echo_ += "' ";
  }
  echo_ += '\n';
  DiagPrintf("%s", echo_.c_str());

  const CommandEntry* entry = nullptr;
  for (const CommandEntry& candidate : kCommands) {
    if (std::strcmp(strings[0], candidate.name) == 0) {
      entry = &candidate;
      break;
    }
  }
  if (entry == nullptr) {
    ReportCorruptMessage("Unknown message", strings, count);
    return;
  }
  if (count != entry->count) {
    ReportCorruptMessage(entry->count_error, strings, count);
    return;
  }

  SessionSettings& s = settings_;
  switch (entry->command) {
    case Command::kAddFile:
      s.attached_files.push_back(AttachedFile{WindowsSeparators(strings[1]), strings[2]});
      break;
    case Command::kRemoveFile: {
      const std::string path = WindowsSeparators(strings[1]);
      s.attached_files.erase(std::remove_if(s.attached_files.begin(), s.attached_files.end(),
                                            [&](const AttachedFile& f) { return f.path == path; }),
                             s.attached_files.end());
      break;
    }
    case Command::kSetIsEditor:
      ApplySwitch(&s.is_editor, "Parameter for 'isEditor' should be 'true' or 'false'", strings, count);
      break;
    case Command::kSetMetaData:
      s.metadata[strings[1]] = strings[2];
      break;
    case Command::kSetUserMetaData:
      // Cut at whole characters so the report never carries broken UTF-8.
      s.user_metadata[std::string(CutUtf8(strings[1], kMaxUserMetadataKeyBytes))] =
          std::string(CutUtf8(strings[2], kMaxUserMetadataValueBytes));
      break;
    case Command::kSetAppName:
      s.app_name = strings[1];
      break;
    case Command::kSetVendor:
      s.vendor = strings[1];
      break;
    case Command::kSetInfo:
      s.info = strings[1];
      break;
    case Command::kSetShowDialog:
      ApplySwitch(&s.show_dialog, "Parameter for 'SetShowDialog' should be 'true' or 'false'", strings,
                  count);
      break;
    case Command::kSetBugReporterAppPath:
      s.bug_reporter_command = strings[1];
      break;
    case Command::kSetCrashReportPath:
      s.crash_report_path = WindowsSeparators(strings[1]);
      break;
    case Command::kSetAnalyticsCrashFilePath:
      s.analytics_crash_file_path = WindowsSeparators(strings[1]);
      break;
    case Command::kSetMonoPath:
      s.mono_path = WindowsSeparators(strings[1]);
      break;
    case Command::kSetLogBufferSize: {
      uint32_t size = 0;
      if (ParseDecimalU32(strings[1], &size)) s.log_ring.Resize(size);
      break;
    }
    case Command::kRecordLogMessage: {
      // A field that does not parse is reported and kept as 0; the message
      // itself is still worth having in the report.
      uint64_t timestamp = 0;
      int32_t framecount = 0;
      int32_t type = 0;
      if (!ParseDecimalU64(strings[2], &timestamp)) {
        timestamp = 0;
        DiagPrintf("Corrupt log message timestamp sent to crash handler: %s\n", strings[2]);
      }
      if (!ParseDecimalI32(strings[3], &framecount)) {
        framecount = 0;
        DiagPrintf("Corrupt log message framecount sent to crash handler: %s\n", strings[3]);
      }
      if (!ParseDecimalI32(strings[4], &type)) {
        type = 0;
        DiagPrintf("Corrupt log message type sent to crash handler: %s\n", strings[4]);
      }
      s.log_ring.Append(strings[1], timestamp, framecount, static_cast<uint16_t>(type));
      break;
    }
  }
}

}  // namespace nelko
