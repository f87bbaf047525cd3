#pragma once
// Applies the engine's commands to the session settings. The reader thread
// hands it one framed message at a time; every message is echoed to the
// diagnostic output, malformed ones are reported and skipped.
#include <cstddef>
#include <string>
#include <vector>

#include "session/session_settings.h"

namespace nelko {

class CommandHandler {
 public:
  explicit CommandHandler(SessionSettings& settings) : settings_(settings) {}
  CommandHandler(const CommandHandler&) = delete;
  CommandHandler& operator=(const CommandHandler&) = delete;

  // `data` holds `size` bytes (size >= 1) ending with a NUL byte: the
  // NUL-separated strings of one message, the command name first. Never
  // throws: a message that cannot be handled for want of memory is skipped
  // with a line saying so, and the settings stay as they were.
  void HandleMessage(const char* data, size_t size);

  // Applies one command; strings[0] is its name.
  void DispatchCommand(const char* const* strings, int count);

  // Where tests make one allocation fail, as an exhausted heap would.
  enum class FailurePoint { kNone, kStringTable, kEcho, kApply };
  void set_failure_point(FailurePoint point) { failure_point_ = point; }

 private:
  void Echo(const char* const* strings, int count);
  void Apply(int command, const char* const* strings, int count);
  void FailHereForTest(FailurePoint point);
  void GiveBackLargeBuffers();

  SessionSettings& settings_;
  std::string echo_;                  // reused for every echo line
  std::vector<const char*> strings_;  // reused for every message
  FailurePoint failure_point_ = FailurePoint::kNone;
};

// Prints the reason and every string of the message with its index.
void ReportCorruptMessage(const char* reason, const char* const* strings, int count);

}  // namespace nelko
