#pragma once
// PLACEHOLDER for the bug-reporter launcher of ui/ until it lands: the same
// call, and a launcher that starts nothing.
#include <string>

#include "capture/attachment_list.h"
#include "session/session_settings.h"

namespace nelko {

// 1 when a bug reporter was started, 0 when the template is empty or the
// start failed.
int LaunchBugReporter(const SessionSettings& settings, const AttachmentList& attachments,
                      const std::string& hash);

}  // namespace nelko
