#include "session/session_settings.h"

namespace nelko {

void SessionSettings::CopyTo(SessionSettings& copy) const {
  if (&copy == this) return;
  // Lock order: command handler mutex, then the log rings' own locks.
  RecursiveMutexLock lock(mutex);
  RecursiveMutexLock copy_lock(copy.mutex);
  copy.metadata = metadata;
  copy.attached_files = attached_files;
  copy.bug_reporter_command = bug_reporter_command;
  copy.crash_report_path = crash_report_path;
  copy.app_name = app_name;
  copy.vendor = vendor;
  copy.info = info;
  copy.mono_path = mono_path;
  copy.analytics_crash_file_path = analytics_crash_file_path;
  copy.show_dialog = show_dialog;
  copy.is_editor = is_editor;
  copy.user_metadata = user_metadata;
  copy.log_ring.CopyFrom(log_ring);
}

}  // namespace nelko
