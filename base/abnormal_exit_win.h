#pragma once
// Handlers that end the handler at once, with a message and a known exit code,
// when the C runtime meets an invalid parameter or abort() is called.
#include <cstdint>

namespace nelko {

constexpr uint32_t kInvalidParameterExitCode = 0x80070057;
constexpr uint32_t kAbortExitCode = 0x80004005;

void InstallAbnormalTerminationHandlers();

}  // namespace nelko
