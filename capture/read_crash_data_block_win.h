#pragma once
// Copies the crash data block out of the crashed engine, checks that it is
// one (magic, size and process id, in that order) and makes the copy's
// exception record and registers safe to hand on (read_crash_data_block.h).
#include <windows.h>

#include <cstdint>

#include "capture/read_crash_data_block.h"
#include "client/crash_data_block_win.h"

namespace nelko {

// The register context flags this build hands on.
#if defined(_WIN64)
inline constexpr uint32_t kKnownContextFlags = kX64KnownContextFlags;
#else
inline constexpr uint32_t kKnownContextFlags = kX86KnownContextFlags;
#endif

// Reads the block at `address` in `process` into `block`. Returns 0 when it
// was read whole and passed every check, its exception record and registers
// made safe; kCrashBlockUnreadable (-895) or kCrashBlockCorrupt (-894) with
// one diagnostic line otherwise.
int32_t ReadCrashDataBlock(HANDLE process, uint32_t process_id, uintptr_t address, CrashDataBlock* block);

}  // namespace nelko
