#pragma once
// What the crash pipeline shows the user and starts for them: the progress
// window and the custom bug reporter. ui/ implements both; app/ hands them to
// the pipeline, so crash capture stands below the user interface. Members
// left null mean no window and no bug reporter (tests, headless use).
#include <string>

#include "capture/attachment_list.h"
#include "capture/crash_dialog.h"
#include "session/session_settings.h"

namespace nelko {

struct CrashUserInterface {
  // The process-wide progress window.
  CrashDialog& (*dialog)() = nullptr;
  // Starts the bug reporter the settings name: 1 when it was started, 0
  // when the template is empty or the start failed.
  int (*launch_bug_reporter)(const SessionSettings& settings, const AttachmentList& attachments,
                             const std::string& hash) = nullptr;
};

}  // namespace nelko
