#include "session/command_handler.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
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

const CommandEntry* FindCommand(const char* name) {
  for (const CommandEntry& candidate : kCommands) {
    if (std::strcmp(name, candidate.name) == 0) return &candidate;
  }
  return nullptr;
}

// Buffers kept between messages up to this size; beyond it they are given
// back, so one huge message does not pin its memory for the whole session.
constexpr size_t kKeptBufferBytes = 64 * 1024;

}  // namespace

void ReportCorruptMessage(const char* reason, const char* const* strings, int count) {
  DiagPrintf("Corrupt message sent to crash handler: %s\nPayload:\n", reason);
  for (int i = 0; i < count; ++i) DiagPrintf("  [%d] %s\n", i, strings[i]);
}

void CommandHandler::FailHereForTest(FailurePoint point) {
  if (failure_point_ == point) {
    failure_point_ = FailurePoint::kNone;
    throw std::bad_alloc();
  }
}

void CommandHandler::GiveBackLargeBuffers() {
  if (strings_.capacity() * sizeof(const char*) > kKeptBufferBytes) std::vector<const char*>().swap(strings_);
  if (echo_.capacity() > kKeptBufferBytes) std::string().swap(echo_);
}

void CommandHandler::HandleMessage(const char* data, size_t size) {
  // The reader thread must outlive any message: running out of memory here
  // skips this one message and leaves the settings as they were.
  try {
    strings_.clear();
    size_t offset = 0;
    while (offset < size) {
      const char* s = data + offset;
      FailHereForTest(FailurePoint::kStringTable);
      strings_.push_back(s);
      // The caller guarantees a final NUL, so this never runs past the data.
      offset += std::strlen(s) + 1;
    }
  } catch (const std::exception&) {
    DiagPrintf("Crash handler could not split a message of %llu bytes for want of memory; message skipped\n",
               static_cast<unsigned long long>(size));
    GiveBackLargeBuffers();
    return;
  }
  DispatchCommand(strings_.data(), static_cast<int>(strings_.size()));
  GiveBackLargeBuffers();
}

void CommandHandler::Echo(const char* const* strings, int count) {
  // The whole echo line goes out in one write: the engine's log traffic makes
  // this the handler's busiest path. Without memory for it, the line goes out
  // in pieces instead.
  try {
    FailHereForTest(FailurePoint::kEcho);
    echo_.assign("Message payload [");
    echo_ += std::to_string(count);
    echo_ += "]: ";
    for (int i = 0; i < count; ++i) {
      echo_ += '\'';
      echo_ += strings[i];
      echo_ += "' ";
    }
    echo_ += '\n';
  } catch (const std::exception&) {
    DiagPrintf("Message payload [%d]: ", count);
    for (int i = 0; i < count; ++i) DiagPrintf("'%s' ", strings[i]);
    DiagPrintf("\n");
    return;
  }
  DiagPrintf("%s", echo_.c_str());
}

void CommandHandler::DispatchCommand(const char* const* strings, int count) {
  if (count <= 0) {
    DiagPrintf("Corrupt message sent to crash handler: %s\nPayload:\n",
               "Empty message recieved by crash handler.");
    return;
  }
  RecursiveMutexLock lock(settings_.mutex);
  Echo(strings, count);

  const CommandEntry* entry = FindCommand(strings[0]);
  if (entry == nullptr) {
    ReportCorruptMessage("Unknown message", strings, count);
    return;
  }
  if (count != entry->count) {
    ReportCorruptMessage(entry->count_error, strings, count);
    return;
  }
  try {
    Apply(static_cast<int>(entry->command), strings, count);
  } catch (const std::exception&) {
    // Every change below is made in one step after its copies exist, so a
    // failed allocation leaves the settings as they were.
    DiagPrintf("Crash handler could not apply %s for want of memory; message skipped\n", entry->name);
  }
}

void CommandHandler::Apply(int command, const char* const* strings, int count) {
  FailHereForTest(FailurePoint::kApply);
  // Each change is one step after its copies exist (a move, or an insertion
  // that adds nothing when it fails), so a failed allocation changes nothing.
  SessionSettings& s = settings_;
  switch (static_cast<Command>(command)) {
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
      s.metadata.insert_or_assign(std::string(strings[1]), std::string(strings[2]));
      break;
    case Command::kSetUserMetaData:
      // Cut at whole characters so the report never carries broken UTF-8.
      s.user_metadata.insert_or_assign(std::string(CutUtf8(strings[1], kMaxUserMetadataKeyBytes)),
                                       std::string(CutUtf8(strings[2], kMaxUserMetadataValueBytes)));
      break;
    case Command::kSetAppName:
      s.app_name = std::string(strings[1]);
      break;
    case Command::kSetVendor:
      s.vendor = std::string(strings[1]);
      break;
    case Command::kSetInfo:
      s.info = std::string(strings[1]);
      break;
    case Command::kSetShowDialog:
      ApplySwitch(&s.show_dialog, "Parameter for 'SetShowDialog' should be 'true' or 'false'", strings,
                  count);
      break;
    case Command::kSetBugReporterAppPath:
      s.bug_reporter_command = std::string(strings[1]);
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
