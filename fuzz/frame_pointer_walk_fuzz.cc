// The x86 frame-pointer walk over an arbitrary memory image and register
// pair: it must end within its bounds, read only through its read function,
// and report exactly the return addresses it read, in order.
//
// Input: pc (4 bytes), fp (4 bytes), the image's base address (4 bytes), then
// the image itself; all little-endian. A read is answered from the image when
// all four bytes lie inside it, and fails otherwise.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/frame_pointer_walk.h"

namespace {

struct Read {
  uint32_t address;
  bool ok;
  uint32_t value;
};

struct Image {
  uint32_t base = 0;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  std::vector<Read> reads;
};

// Two reads per stored address, two more to start from a zero pc.
constexpr size_t kMaxReads = 2 * nelko::kMaxReturnAddresses + 2;

uint32_t Word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool ReadWord(void* context, uint32_t address, uint32_t* value) {
  auto* image = static_cast<Image*>(context);
  if (image->reads.size() >= kMaxReads) std::abort();  // the walk must end on its own
  // The offset wraps like the 32-bit address space; the image never does.
  const uint32_t offset = address - image->base;
  const bool ok = image->size >= 4 && offset <= image->size - 4;
  if (ok) *value = Word(image->bytes + offset);
  image->reads.push_back({address, ok, ok ? *value : 0});
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return 0;
  const uint32_t pc = Word(data);
  const uint32_t fp = Word(data + 4);
  Image image;
  image.base = Word(data + 8);
  image.bytes = data + 12;
  image.size = size - 12;

  std::vector<uint32_t> addresses;
  const bool complete = nelko::WalkFramePointerChain(pc, fp, &ReadWord, &image, &addresses);

  if (addresses.size() > nelko::kMaxReturnAddresses) std::abort();
  for (uint32_t address : addresses) {
    if (address == 0) std::abort();
  }
  // Replay the reads: pairs of (return address at fp + 4, link at fp), the
  // first pair before any address when pc is 0, and nothing after a failed
  // read.
  const std::vector<Read>& reads = image.reads;
  size_t next = 0;
  auto take = [&](uint32_t address) -> const Read& {
    if (next >= reads.size() || reads[next].address != address) std::abort();
    return reads[next++];
  };
  // One frame's pair; false when a read failed.
  uint32_t expected_pc = pc;
  uint32_t at = fp;
  auto step = [&]() {
    const Read& return_address = take(at + 4);
    if (!return_address.ok) return false;
    const Read& link = take(at);
    if (!link.ok) return false;
    expected_pc = return_address.value;
    at = link.value;
    return true;
  };
  bool failed = pc == 0 && !step();
  size_t stored = 0;
  while (!failed && expected_pc != 0) {
    if (stored >= addresses.size() || addresses[stored] != expected_pc) std::abort();
    if (++stored == nelko::kMaxReturnAddresses) break;
    failed = !step();
  }
  if (stored != addresses.size() || next != reads.size()) std::abort();
  if (complete == failed) std::abort();
  return 0;
}
