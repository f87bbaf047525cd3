#pragma once
// What the handler makes of a crash data block once it has copied it out of
// the engine, before anything of it reaches the dump library: whether it is
// one (magic, size and process id, in that order), and the exception record
// and registers made safe to hand on. The block comes from a crashed process
// whose memory may be corrupt anywhere, so every field handed on is checked
// here, in the handler's own copy.
//
// Portable: the Windows reader instantiates these with the system's types;
// the fuzz target and the tests with the wire images below.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "client/protocol.h"

namespace nelko {

enum class CrashBlockCheck {
  kValid,
  kWrongMagic,
  kWrongSize,
  kWrongPid,
};

// The checks, in this order, stopping at the first that fails, so a block
// with a wrong magic never reports its size.
template <class Block>
CrashBlockCheck CheckCrashDataBlock(const Block& block, uint32_t process_id, uint32_t expected_size) {
  if (block.magic != kCrashBlockMagic) return CrashBlockCheck::kWrongMagic;
  if (block.size != expected_size) return CrashBlockCheck::kWrongSize;
  if (block.pid != process_id) return CrashBlockCheck::kWrongPid;
  return CrashBlockCheck::kValid;
}

// The line the handler writes for a refused block, into `out` (`capacity`
// bytes, always NUL-terminated); empty for a valid one. Formatted here, into
// the caller's buffer, so that refusing a block allocates nothing.
template <class Block>
void FormatCrashBlockCheck(char* out, size_t capacity, CrashBlockCheck check, const Block& block,
                           uint32_t process_id, uint32_t expected_size) {
  if (capacity == 0) return;
  out[0] = '\0';
  const int pid = static_cast<int>(process_id);
  switch (check) {
    case CrashBlockCheck::kValid:
      break;
    case CrashBlockCheck::kWrongMagic:
      std::snprintf(out, capacity,
                    "Crash data sent by PID %d is corrupt: expected magic '0x%llx' but got '0x%llx'\n", pid,
                    static_cast<unsigned long long>(kCrashBlockMagic),
                    static_cast<unsigned long long>(block.magic));
      break;
    case CrashBlockCheck::kWrongSize:
      std::snprintf(out, capacity, "Crash data sent by PID %d is corrupt: expected size %d but got %d\n", pid,
                    static_cast<int>(expected_size), static_cast<int>(block.size));
      break;
    case CrashBlockCheck::kWrongPid:
      std::snprintf(out, capacity,
                    "Crash data sent by PID %d is corrupt: expected to agree on PID but got %d\n", pid,
                    static_cast<int>(block.pid));
      break;
  }
}

// EXCEPTION_MAXIMUM_PARAMETERS: the room an exception record has for its
// parameters. A larger count makes a reader of the record run past it.
inline constexpr uint32_t kMaxExceptionParameters = 15;

// Makes the handler's copy of an exception record safe to hand on: the
// parameter count no larger than the record's room, and no chain. The chain
// pointer is an address in the engine; in the handler's memory it points at
// nothing of ours, so nothing may follow it.
template <class Record>
void MakeExceptionRecordSafe(Record& record) {
  if (record.NumberParameters > kMaxExceptionParameters) record.NumberParameters = kMaxExceptionParameters;
  record.ExceptionRecord = {};
}

// Keeps only the `known` context flags of a register context. Among the
// others is the extended-state flag, which tells a reader that more state
// follows the record: the handler's copy has nothing after it.
template <class Context>
void MakeContextSafe(Context& context, uint32_t known) {
  context.ContextFlags &= known;
}

// Checks a block and, when it is one, makes its exception record and
// registers safe. The block's other fields (thread id, managed context,
// flags) are values only, never followed, and any value is safe.
template <class Block>
CrashBlockCheck AcceptCrashDataBlock(Block& block, uint32_t process_id, uint32_t expected_size,
                                     uint32_t known_context_flags) {
  const CrashBlockCheck check = CheckCrashDataBlock(block, process_id, expected_size);
  if (check != CrashBlockCheck::kValid) return check;
  MakeExceptionRecordSafe(block.exceptionRecord);
  MakeContextSafe(block.context, known_context_flags);
  return check;
}

// The fields of the system's types that the checks touch, at the places
// they have in each build's block: the x86 wire layout and the x64 one. The
// Windows reader checks them against the system's own types.
struct X86ExceptionRecord {
  uint32_t ExceptionCode;
  uint32_t ExceptionFlags;
  uint32_t ExceptionRecord;  // an address in the engine
  uint32_t ExceptionAddress;
  uint32_t NumberParameters;
  uint32_t ExceptionInformation[kMaxExceptionParameters];
};
struct X86Context {
  uint32_t ContextFlags;
  uint32_t rest[178];
};
// CONTEXT_i386 with control, integer, segment, floating-point, debug and
// extended registers: CONTEXT_ALL | CONTEXT_EXTENDED_REGISTERS.
inline constexpr uint32_t kX86KnownContextFlags = 0x0001003F;
using X86WireCrashDataBlock = BasicCrashDataBlock<uint32_t, X86ExceptionRecord, X86Context>;

static_assert(sizeof(X86ExceptionRecord) == sizeof(X86ExceptionRecordBytes));
static_assert(sizeof(X86Context) == sizeof(X86ContextBytes));
static_assert(sizeof(X86WireCrashDataBlock) == kX86CrashBlockSize);
static_assert(offsetof(X86WireCrashDataBlock, exceptionRecord) == 0x020);
static_assert(offsetof(X86WireCrashDataBlock, context) == 0x070);
static_assert(offsetof(X86WireCrashDataBlock, flags) == 0x33C);

struct X64ExceptionRecord {
  uint32_t ExceptionCode;
  uint32_t ExceptionFlags;
  uint64_t ExceptionRecord;  // an address in the engine
  uint64_t ExceptionAddress;
  uint32_t NumberParameters;
  uint32_t padding;
  uint64_t ExceptionInformation[kMaxExceptionParameters];
};
struct alignas(16) X64Context {
  uint64_t home[6];
  uint32_t ContextFlags;
  uint32_t MxCsr;
  uint8_t rest[1176];
};
// CONTEXT_AMD64 with control, integer, segment, floating-point and debug
// registers: CONTEXT_ALL.
inline constexpr uint32_t kX64KnownContextFlags = 0x0010001F;
using X64CrashDataBlock = BasicCrashDataBlock<uint64_t, X64ExceptionRecord, X64Context>;

static_assert(sizeof(X64ExceptionRecord) == 152);
static_assert(sizeof(X64Context) == 1232);
static_assert(offsetof(X64Context, ContextFlags) == 0x30);

}  // namespace nelko
