#pragma once
// Copies the crash data block out of the crashed engine and checks that it
// is one: magic, size and process id, in that order.
#include <windows.h>

#include <cstdint>

#include "client/crash_data_block_win.h"

namespace nelko {

// Reads the block at `address` in `process` into `block`. Returns 0 when it
// was read whole and passed every check; kCrashBlockUnreadable (-895) or
// kCrashBlockCorrupt (-894) with one diagnostic line otherwise.
int32_t ReadCrashDataBlock(HANDLE process, uint32_t process_id, uintptr_t address, CrashDataBlock* block);

}  // namespace nelko
