// PLACEHOLDER until the crash processing pipeline lands. It captures
// nothing: it says so, releases the engine's crashing thread through the
// response event and keeps the session watching (-890), as for a crash the
// engine survives.
#include "capture/process_crash_win.h"

#include "base/diag_output.h"
#include "client/protocol.h"

namespace nelko {

int32_t ProcessCrash(uint32_t process_id, HANDLE /*process*/, uintptr_t /*shared_region_address*/,
                     SessionSettings& /*settings*/, bool /*terminate*/, bool /*wait_for_user*/,
                     HANDLE response_event) {
  DiagPrintf("[CRASH HANDLER] Crash signalled by PID %u; crash capture is not built in yet\n",
             static_cast<unsigned>(process_id));
  SetEvent(response_event);
  return kSessionKeepWatching;
}

}  // namespace nelko
