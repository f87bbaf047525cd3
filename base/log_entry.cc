#include "base/log_entry.h"

#include "base/debug_break.h"
#include "base/diag_output.h"

namespace nelko {

LogType LogTypeFromMode(uint32_t mode) {
  if (mode & log_mode::kException) return LogType::kException;
  if (mode & log_mode::kErrorMask) return LogType::kError;
  if (mode & log_mode::kAssertMask) return LogType::kAssert;
  if (mode & log_mode::kWarningMask) return LogType::kWarning;
  return LogType::kLog;
}

bool StackTraceAllowed(LogType type, uint32_t mode) {
  if (mode & (log_mode::kGrantTraceA | log_mode::kGrantTraceB)) return true;
  if (mode & log_mode::kNoStackTrace) return false;
  return type != LogType::kLog;
}

void ReportLogEntry(const LogEntry& entry) {
  const bool keep = (entry.mode & log_mode::kKeepStackTrace) && !(entry.mode & log_mode::kNoStackTrace) &&
                    LogTypeFromMode(entry.mode) != LogType::kLog;
  if (keep) {
    PrintLogEntry(entry);
    return;
  }
  LogEntry copy = entry;
  copy.stack_trace.clear();
  PrintLogEntry(copy);
}

void PrintLogEntry(const LogEntry& entry) {
  std::string message = entry.message;
  if (message.empty() || message.back() != '\n') message += '\n';

  if (!entry.stack_trace.empty() && StackTraceAllowed(LogTypeFromMode(entry.mode), entry.mode)) {
    std::string trace = entry.stack_trace;
    if (trace.front() == '\n') trace.erase(0, 1);
    if (trace.empty() || trace.back() != '\n') trace += '\n';
    if (!entry.file.empty() && entry.line != 0 && (entry.mode & log_mode::kShowFileLine) &&
        entry.file.find("Debug.bindings.h") == std::string::npos) {
      DiagPrintf("%s%s\n(Filename: %s Line: %i)\n\n", message.c_str(), trace.c_str(), entry.file.c_str(),
                 static_cast<int>(entry.line));
    } else {
      DiagPrintf("%s%s\n", message.c_str(), trace.c_str());
    }
  } else {
    DiagPrintf("%s", message.c_str());
  }

  if (entry.mode & log_mode::kDebugBreak) DebugBreakHere();
}

void ReportError(const char* message, const char* file, int32_t line) {
  LogEntry entry;
  entry.message = message;
  entry.file = file;
  entry.line = line;
  entry.mode = log_mode::kError;
  ReportLogEntry(entry);
}

}  // namespace nelko
