#pragma once
// The crash pipeline as the attach session runs it: crash capture with the
// progress window and the bug-reporter launcher of the user interface.
#include <windows.h>

#include <cstdint>

#include "session/session_settings.h"

namespace nelko {

// Fits session/attach_session_win.h's CrashPipeline.
int32_t HandleCrash(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                    SessionSettings& settings, bool terminate, bool wait_for_user, HANDLE response_event);

}  // namespace nelko
