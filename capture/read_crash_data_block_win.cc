#include "capture/read_crash_data_block_win.h"

#include <cstring>

#include "base/diag_output.h"
#include "client/protocol.h"

namespace nelko {

int32_t ReadCrashDataBlock(HANDLE process, uint32_t process_id, uintptr_t address, CrashDataBlock* block) {
  std::memset(static_cast<void*>(block), 0, sizeof(*block));
  SIZE_T got = 0;
  // A partial read is as bad as none: the fields past it would be zeros.
  if (!ReadProcessMemory(process, reinterpret_cast<const void*>(address), block, kCrashBlockSize, &got) ||
      got != kCrashBlockSize) {
    DiagPrintf("Failed to read PID %d's memory at %p (%d bytes)\n", static_cast<int>(process_id),
               reinterpret_cast<void*>(address), static_cast<int>(kCrashBlockSize));
    return kCrashBlockUnreadable;
  }
  if (block->magic != kCrashBlockMagic) {
    DiagPrintf("Crash data sent by PID %d is corrupt: expected magic '0x%llx' but got '0x%llx'\n",
               static_cast<int>(process_id), static_cast<unsigned long long>(kCrashBlockMagic),
               static_cast<unsigned long long>(block->magic));
    return kCrashBlockCorrupt;
  }
  if (block->size != kCrashBlockSize) {
    DiagPrintf("Crash data sent by PID %d is corrupt: expected size %d but got %d\n",
               static_cast<int>(process_id), static_cast<int>(kCrashBlockSize),
               static_cast<int>(block->size));
    return kCrashBlockCorrupt;
  }
  if (block->pid != process_id) {
    DiagPrintf("Crash data sent by PID %d is corrupt: expected to agree on PID but got %d\n",
               static_cast<int>(process_id), static_cast<int>(block->pid));
    return kCrashBlockCorrupt;
  }
  return 0;
}

}  // namespace nelko
