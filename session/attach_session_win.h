#pragma once
// The attach session with its crash pipeline passed in, so that tests can
// play every pipeline result in-process.
#include <windows.h>

#include <cstdint>

#include "session/session_settings.h"

namespace nelko {

using CrashPipeline = int32_t (*)(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                                  SessionSettings& settings, bool terminate, bool wait_for_user,
                                  HANDLE response_event);

int32_t RunAttachSessionWith(int& count, wchar_t** vector, CrashPipeline pipeline);

// Session results.
constexpr int32_t kSessionUsage = -900;
constexpr int32_t kSessionCannotOpenProcess = -899;
constexpr int32_t kSessionCannotCreateEvent = -898;
constexpr int32_t kSessionWaitFailed = -897;
constexpr int32_t kSessionNoExitCode = -896;
constexpr int32_t kSessionNoStandardInput = -892;
constexpr int32_t kSessionReaderFailed = -891;
constexpr int32_t kSessionKeepWatching = -890;

}  // namespace nelko
