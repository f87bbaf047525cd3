#pragma once
// The stack-walking steps of crash processing, as the pipeline sees them:
// the managed runtime and the crash stack walker with its modules are set up
// once before the minidump, then every engine thread is walked into the
// report, each inside a guard that no walk failure can get past.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "report/crash_report.h"
#include "report/thread.h"

namespace nelko {

class CrashWalk {
 public:
  // Loads the managed runtime from `mono_path` (UTF-8; none when empty or
  // when it cannot be loaded) with the crash data block's managed context,
  // creates the crash stack walker for `process` and loads the engine's
  // modules into it.
  CrashWalk(HANDLE process, const std::string& mono_path, uintptr_t managed_context);
  ~CrashWalk();
  CrashWalk(const CrashWalk&) = delete;
  CrashWalk& operator=(const CrashWalk&) = delete;

  // Makes the frame receiver for `report`, which marks its native crash as
  // present. Called once, before the first WalkThread.
  void BeginReport(CrashReport& report, bool is_editor);

  // Walks `thread` from its present registers, appending its frames to
  // `record`. False when an exception ended the walk; the frames received
  // before it stay in `record`.
  bool WalkThread(HANDLE thread, Thread& record);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace nelko
