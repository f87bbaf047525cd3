#pragma once
// Turns the walker's entries into the report's frames and appends them to the
// thread that the pipeline is filling.
#include <string>
#include <string_view>

#include "capture/callstack_entry.h"
#include "report/crash_report.h"
#include "report/stack_frame.h"
#include "report/thread.h"

namespace nelko {

// The application folder of an editor report: the handler's executable path
// without its last three components (the file, then two folder levels), with
// '/' turned into '\'.
std::string UserFolderFromExecutablePath(std::string_view executable_path);

// The report frame for one entry; managed entries carry only their
// description and `inAppDirectory`.
StackFrame MakeStackFrame(const CallstackEntry& entry, std::string_view user_folder);

class FrameReceiver {
 public:
  // Marks the report's native crash as present. `executable_path` (UTF-8) is
  // the handler's own path; it fixes userFolder when `is_editor`.
  FrameReceiver(CrashReport& report, std::string_view executable_path, bool is_editor);

  void SetCurrentThread(Thread* thread) { current_thread_ = thread; }
  Thread* current_thread() const { return current_thread_; }
  const std::string& user_folder() const { return user_folder_; }

  // The walker's diagnostics reach the receiver and stop there.
  void OnError(std::string_view /*function*/, std::string_view /*text*/, uint64_t /*address*/) {}
  void OnText(std::string_view /*text*/) {}
  void OnEntry(const CallstackEntry& entry);

 private:
  CrashReport& report_;
  Thread* current_thread_ = nullptr;
  std::string user_folder_;
};

}  // namespace nelko
