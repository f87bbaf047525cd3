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

// The engine survived this crash: the session keeps watching it.
constexpr int32_t kCrashResultContinue = -890;

// `process` is the engine opened with full access; `shared_region_address`
// is where the crash data block lies in the engine; `response_event` is the
// event the engine's crashing thread waits on. Returns -890 when the engine
// goes on running; any other value ends the session as its result.
int32_t ProcessCrash(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                     SessionSettings& settings, bool terminate, bool wait_for_user, HANDLE response_event);

}  // namespace nelko
