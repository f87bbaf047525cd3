#pragma once
// The crash processing pipeline, run by the attach session on its main
// thread each time the engine signals a crash.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "base/scoped_handle_win.h"
#include "capture/crash_user_interface.h"
#include "session/session_settings.h"

namespace nelko {

// The steps of the pipeline that can fail for want of memory, in their
// order. Each contains its own failure: it writes one line and the pipeline
// goes on with the next.
enum class CrashStep {
  kNone,
  kSettingsCopy,
  kThreadList,
  kCrashFolder,
  kWindow,     // the progress window shown
  kReport,     // the report built from the session
  kWalkSetup,  // the managed runtime and the symbol engine
  kMinidump,
  kThreadWalk,  // the first thread's walk into the report
  kCache,
  kAttachments,  // the first attached file's copy
  kHash,
  kAnalyticsFile,
  kBugReporter,
  kWindowEnd,     // the progress window closed, or waited for
  kBetweenSteps,  // outside every step: only the run's last resort catches it
};

// Where tests make steps fail: each step named fails once, as an exhausted
// heap would make it (the thread walk and the attachment copy on their first
// thread and file).
struct CrashPipelineHooks {
  std::vector<CrashStep> fail_at;
};

// With a user interface bound (app/), fits session/attach_session_win.h's
// CrashPipeline. Returns
// kCrashBlockUnreadable or kCrashBlockCorrupt when the crash data block is
// unusable (nothing else is done and the engine is not released);
// kSessionKeepWatching after a crash the engine survives; after a fatal
// crash 1 when a custom bug reporter was started, else 0. Once the block was
// read the engine is released on every way out, whatever failed.
// `user_interface` gives the progress window and the bug-reporter launcher.
int32_t ProcessCrash(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                     SessionSettings& settings, bool terminate, bool wait_for_user, HANDLE response_event,
                     const CrashUserInterface& user_interface,
                     const CrashPipelineHooks* test_hooks = nullptr);

// The engine's threads, opened for suspend/resume, get-context and
// query-information access, in the order of the system's thread snapshot.
// When `process_id` is this process, the calling thread is left out.
std::vector<ScopedHandle> OpenEngineThreads(uint32_t process_id);

}  // namespace nelko
