#pragma once
// The attach session: watches one engine process for its whole life
// (`--attach <pid> <address>`) and hands each crash to the pipeline it is
// given, so that the session knows nothing of crash capture and tests can
// play every pipeline result in-process.
#include <windows.h>

#include <cstdint>

#include "client/protocol.h"
#include "session/session_settings.h"

namespace nelko {

// Runs on the session's main thread each time the engine signals a crash.
// `process` is the engine opened with full access; `shared_region_address`
// is where the crash data block lies in the engine; `response_event` is the
// event the engine's crashing thread waits on. Returns kSessionKeepWatching
// when the engine goes on running; any other value ends the session as its
// result.
using CrashPipeline = int32_t (*)(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                                  SessionSettings& settings, bool terminate, bool wait_for_user,
                                  HANDLE response_event);

// `count` and `vector` are the arguments after the general flags and
// `--attach` were removed; the session removes `--terminate` and
// `--wait-for-user` itself. Returns the session result: 0 after a normal
// end, a session error (client/protocol.h) or the pipeline's result.
// Seams for tests: the wait and the exit-code query, to play failures the
// system does not produce on demand. Null members keep the real calls.
struct SessionHooks {
  DWORD (*wait)(DWORD count, const HANDLE* handles) = nullptr;
  BOOL (*exit_code)(HANDLE process, DWORD* code) = nullptr;
};

int32_t RunAttachSession(int& count, wchar_t** vector, CrashPipeline pipeline,
                         const SessionHooks* test_hooks = nullptr);

}  // namespace nelko
