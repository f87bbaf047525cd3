#include "session/attach_session.h"

#include "app/diag_output.h"

namespace nelko {

// PLACEHOLDER until the attach session lands: reports itself and ends with
// the usage-error result, so callers see a failed session and no relaunch.
int32_t RunAttachSession(int& count, wchar_t** vector) {
  (void)count;
  (void)vector;
  DiagPrintf("[CRASH HANDLER] Attach session is not built in yet\n");
  return -900;
}

}  // namespace nelko
