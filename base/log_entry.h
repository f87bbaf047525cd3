#pragma once
// Structured diagnostics raised by internal components for unexpected
// conditions, formatted onto the diagnostic output.
#include <cstdint>
#include <string>

namespace nelko {

enum class LogType { kError, kAssert, kWarning, kLog, kException };

// Mode flags of a log entry.
namespace log_mode {
constexpr uint32_t kError = 0x1;
constexpr uint32_t kDebugBreak = 0x10;
constexpr uint32_t kGrantTraceA = 0x100;
constexpr uint32_t kGrantTraceB = 0x200;
constexpr uint32_t kException = 0x20000;
constexpr uint32_t kNoStackTrace = 0x40000;
constexpr uint32_t kKeepStackTrace = 0x400000;
constexpr uint32_t kShowFileLine = 0x800000;
constexpr uint32_t kErrorMask = 0x951;
constexpr uint32_t kAssertMask = 0x200002;
constexpr uint32_t kWarningMask = 0x1280;
}  // namespace log_mode

struct LogEntry {
  std::string message;
  std::string stack_trace;
  std::string file;
  int32_t line = 0;
  int32_t column = -1;
  uint32_t mode = 0;
};

LogType LogTypeFromMode(uint32_t mode);
bool StackTraceAllowed(LogType type, uint32_t mode);

// Front end: drops the stack trace unless the entry asks to keep it.
void ReportLogEntry(const LogEntry& entry);
void PrintLogEntry(const LogEntry& entry);

// Raises an error entry (flag 1, no trace) for the given message and source.
void ReportError(const char* message, const char* file, int32_t line);

}  // namespace nelko
