#pragma once
// Starts the engine's custom bug reporter from its command-line template
// (SetBugReporterAppPath) after a crash.
#include <string>

#include "capture/attachment_list.h"
#include "session/session_settings.h"

namespace nelko {

// The template expanded with the session's values, the crash's files and the
// crash hash (64 hex digits, or empty), as a UTF-16 command line. Empty, with
// *too_long set, when it would be longer than a command line can be
// (kMaxCommandLineUnits).
std::wstring BuildBugReporterCommandLine(const std::string& command_template, const SessionSettings& settings,
                                         const AttachmentList& files, const std::string& report_hash,
                                         bool* too_long = nullptr);

// Starts the bug reporter without waiting for it. 1 when it was started; 0
// when the template is empty (nothing printed), the command line would be
// too long for the system (a line says so; nothing is started) or the start
// failed.
int LaunchBugReporter(const SessionSettings& settings, const AttachmentList& files,
                      const std::string& report_hash);

}  // namespace nelko
