#include "capture/frame_pointer_walk.h"

namespace nelko {

bool WalkFramePointerChain(uint32_t pc, uint32_t fp, ReadStackWord read, void* context,
                           std::vector<uint32_t>* addresses) {
  if (pc == 0) {
    uint32_t next_fp = 0;
    if (!read(context, fp + 4, &pc) || !read(context, fp, &next_fp)) return false;
    fp = next_fp;
  }
  while (pc != 0) {
    addresses->push_back(pc);
    if (addresses->size() >= kMaxReturnAddresses) return true;
    uint32_t next_pc = 0;
    uint32_t next_fp = 0;
    // The return address is read before the link, as the frame lays them out.
    if (!read(context, fp + 4, &next_pc) || !read(context, fp, &next_fp)) return false;
    pc = next_pc;
    fp = next_fp;
  }
  return true;
}

}  // namespace nelko
