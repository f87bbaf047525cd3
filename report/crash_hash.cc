// The crash signature of a native crash (NativeCrash::ComputeHash).
#include <cstdint>

#include "report/native_crash.h"
#include "report/sha256.h"

namespace nelko {

std::string NativeCrash::ComputeHash() const {
  Sha256 sha;
  for (const Thread& thread : threads_) {
    if (!thread.crashed) continue;
    for (const StackFrame& frame : thread.frames()) {
      if (frame.managed || !frame.inAppDirectory) continue;
      sha.Update(frame.image_uuid);
      uint8_t pc[8];
      for (int i = 0; i < 8; ++i) pc[i] = static_cast<uint8_t>(frame.relative_pc >> (8 * i));
      sha.Update(pc, sizeof pc);
      sha.Update(frame.pdb_name);
    }
  }
  const Sha256::Digest digest = sha.Finish();
  return DigestToHex(digest.data(), digest.size());
}

}  // namespace nelko
