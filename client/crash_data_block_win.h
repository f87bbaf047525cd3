#pragma once
// The crash data block with this build's own Windows types: the handler reads
// it and the engine-side library fills it. A 32-bit build has exactly the
// x86 wire layout; a 64-bit build has the same fields with the x64 types.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "client/protocol.h"

namespace nelko {

using CrashDataBlock = BasicCrashDataBlock<uintptr_t, EXCEPTION_RECORD, CONTEXT>;

// The size the block must declare in its `size` field: 1856 for x86.
inline constexpr uint32_t kCrashBlockSize = sizeof(CrashDataBlock);

static_assert(sizeof(void*) != 4 || kCrashBlockSize == kX86CrashBlockSize, "x86 wire layout");
static_assert(sizeof(void*) != 4 || offsetof(CrashDataBlock, exceptionRecord) == 0x020, "x86 wire layout");
static_assert(sizeof(void*) != 4 || offsetof(CrashDataBlock, context) == 0x070, "x86 wire layout");
static_assert(sizeof(void*) != 4 || offsetof(CrashDataBlock, flags) == 0x33C, "x86 wire layout");

}  // namespace nelko
