#include "upload/upload_mode.h"

#include "base/diag_output.h"

namespace nelko {

// PLACEHOLDER until upload mode lands: nothing is cached yet, so there is
// nothing to send.
int32_t RunUploadMode(int count, wchar_t** vector) {
  (void)count;
  (void)vector;
  DiagPrintf("[CRASH HANDLER] Upload mode is not built in yet\n");
  return 0;
}

}  // namespace nelko
