// Arbitrary bytes as a crash data block copied out of a crashed engine, in
// the layout of each build: the checks run in their order, the line for a
// refused block fits its buffer, a refused block is left as it was, and an
// accepted one hands on an exception record no reader can run past (its
// parameters are copied here as the dump library copies them) and no chain,
// with only the known context flags.
//
// Input: the block's bytes (zeros past the end of a short input); four more
// bytes, when present, are the session's process id, else the block's own,
// so that whole blocks pass the checks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "capture/read_crash_data_block.h"

namespace {

template <class Block>
nelko::CrashBlockCheck Expected(const Block& block, uint32_t process_id) {
  if (block.magic != nelko::kCrashBlockMagic) return nelko::CrashBlockCheck::kWrongMagic;
  if (block.size != sizeof(Block)) return nelko::CrashBlockCheck::kWrongSize;
  if (block.pid != process_id) return nelko::CrashBlockCheck::kWrongPid;
  return nelko::CrashBlockCheck::kValid;
}

template <class Block>
void Check(const uint8_t* data, size_t size, uint32_t known_context_flags) {
  Block block;
  std::memset(static_cast<void*>(&block), 0, sizeof(block));
  if (size > 0) std::memcpy(static_cast<void*>(&block), data, size < sizeof(block) ? size : sizeof(block));
  uint32_t process_id = block.pid;
  if (size >= sizeof(block) + 4) std::memcpy(&process_id, data + sizeof(block), 4);
  Block original;
  std::memcpy(static_cast<void*>(&original), static_cast<const void*>(&block), sizeof(block));

  const nelko::CrashBlockCheck check = nelko::AcceptCrashDataBlock(
      block, process_id, static_cast<uint32_t>(sizeof(Block)), known_context_flags);
  if (check != Expected(original, process_id)) std::abort();

  char line[256];
  std::memset(line, 'x', sizeof(line));
  nelko::FormatCrashBlockCheck(line, sizeof(line), check, block, process_id,
                               static_cast<uint32_t>(sizeof(Block)));
  const size_t length = strnlen(line, sizeof(line));
  if (length == sizeof(line)) std::abort();
  if ((check == nelko::CrashBlockCheck::kValid) != (length == 0)) std::abort();
  if (length > 0 && line[length - 1] != '\n') std::abort();

  if (check != nelko::CrashBlockCheck::kValid) {
    if (std::memcmp(&block, &original, sizeof(block)) != 0) std::abort();
    return;
  }
  const auto& record = block.exceptionRecord;
  if (record.NumberParameters > nelko::kMaxExceptionParameters) std::abort();
  if (record.ExceptionRecord != 0) std::abort();
  if ((block.context.ContextFlags & ~known_context_flags) != 0) std::abort();
  // As the dump library copies the parameters: as many as the count says.
  uint64_t copied[nelko::kMaxExceptionParameters];
  for (uint32_t i = 0; i < record.NumberParameters; ++i) copied[i] = record.ExceptionInformation[i];
  // Nothing else of the block changes.
  block.exceptionRecord.NumberParameters = original.exceptionRecord.NumberParameters;
  block.exceptionRecord.ExceptionRecord = original.exceptionRecord.ExceptionRecord;
  block.context.ContextFlags = original.context.ContextFlags;
  if (std::memcmp(&block, &original, sizeof(block)) != 0) std::abort();
  (void)copied;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check<nelko::X86WireCrashDataBlock>(data, size, nelko::kX86KnownContextFlags);
  Check<nelko::X64CrashDataBlock>(data, size, nelko::kX64KnownContextFlags);
  return 0;
}
