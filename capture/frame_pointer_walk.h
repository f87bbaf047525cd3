#pragma once
// The x86 frame-pointer chain, followed over any memory: each frame holds the
// caller's frame pointer at [fp] and the return address at [fp + 4]. Kept free
// of the system so that its edge cases run on synthetic stacks.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nelko {

// A thread yields at most this many return addresses.
inline constexpr size_t kMaxReturnAddresses = 1024;

// Reads the 32-bit word at `address`; false when it cannot be read.
using ReadStackWord = bool (*)(void* context, uint32_t address, uint32_t* value);

// Appends the return addresses of the chain that starts at `pc`/`fp` to
// `addresses` (at most kMaxReturnAddresses in all). A pc of 0 (a thread
// stopped on a call with no return address yet) starts from the frame's own
// return address. True when the chain ended on a zero return address or at
// the limit; false when a link could not be read, keeping what came before.
bool WalkFramePointerChain(uint32_t pc, uint32_t fp, ReadStackWord read, void* context,
                           std::vector<uint32_t>* addresses);

// A 32-bit address as the symbol functions take it: widened by sign
// extension, so 0x80000000 and above get their upper 32 bits set.
inline uint64_t SignExtendAddress(uint32_t address) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(address)));
}

}  // namespace nelko
