#pragma once
// The crash processing pipeline, run by the attach session on its main
// thread each time the engine signals a crash.
//
// PLACEHOLDER: capture/process_crash_win.cc only acknowledges the crash
// until the pipeline lands; this declaration is the pipeline's own.
#include <windows.h>

#include <cstdint>

#include "session/session_settings.h"

namespace nelko {

// Fits session/attach_session_win.h's CrashPipeline. Returns
// kSessionKeepWatching when the engine goes on running; any other value ends
// the session as its result.
int32_t ProcessCrash(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                     SessionSettings& settings, bool terminate, bool wait_for_user, HANDLE response_event);

}  // namespace nelko
