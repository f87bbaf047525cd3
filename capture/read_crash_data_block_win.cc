#include "capture/read_crash_data_block_win.h"

#include <cstring>

#include "base/diag_output.h"
#include "capture/read_crash_data_block.h"
#include "client/protocol.h"

namespace nelko {
namespace {

// The portable images of the checked fields sit where the system's types
// have them, in both builds.
#if defined(_WIN64)
using WireBlock = X64CrashDataBlock;
using WireRecord = X64ExceptionRecord;
using WireContext = X64Context;
#else
using WireBlock = X86WireCrashDataBlock;
using WireRecord = X86ExceptionRecord;
using WireContext = X86Context;
#endif
#if defined(_WIN64)
static_assert(kKnownContextFlags == CONTEXT_ALL, "context flags");
#else
static_assert(kKnownContextFlags == (CONTEXT_ALL | CONTEXT_EXTENDED_REGISTERS), "context flags");
#endif
static_assert(kMaxExceptionParameters == EXCEPTION_MAXIMUM_PARAMETERS, "exception record room");
static_assert(sizeof(WireBlock) == sizeof(CrashDataBlock), "block layout");
static_assert(offsetof(WireBlock, exceptionRecord) == offsetof(CrashDataBlock, exceptionRecord), "layout");
static_assert(offsetof(WireBlock, context) == offsetof(CrashDataBlock, context), "block layout");
static_assert(sizeof(WireRecord) == sizeof(EXCEPTION_RECORD), "exception record layout");
static_assert(offsetof(WireRecord, ExceptionRecord) == offsetof(EXCEPTION_RECORD, ExceptionRecord), "layout");
static_assert(offsetof(WireRecord, NumberParameters) == offsetof(EXCEPTION_RECORD, NumberParameters),
              "layout");
static_assert(sizeof(WireContext) == sizeof(CONTEXT), "context layout");
static_assert(offsetof(WireContext, ContextFlags) == offsetof(CONTEXT, ContextFlags), "context layout");

}  // namespace

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
  const CrashBlockCheck check = AcceptCrashDataBlock(*block, process_id, kCrashBlockSize, kKnownContextFlags);
  if (check == CrashBlockCheck::kValid) return 0;
  char line[256];
  FormatCrashBlockCheck(line, sizeof(line), check, *block, process_id, kCrashBlockSize);
  DiagPrintf("%s", line);
  return kCrashBlockCorrupt;
}

}  // namespace nelko
