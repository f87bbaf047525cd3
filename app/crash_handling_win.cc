#include "app/crash_handling_win.h"

#include "capture/process_crash_win.h"
#include "ui/bug_reporter_win.h"
#include "ui/crash_dialog_win.h"

namespace nelko {

int32_t HandleCrash(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                    SessionSettings& settings, bool terminate, bool wait_for_user, HANDLE response_event) {
  CrashUserInterface user_interface;
  user_interface.dialog = &GetCrashDialog;
  user_interface.launch_bug_reporter = &LaunchBugReporter;
  return ProcessCrash(process_id, process, shared_region_address, settings, terminate, wait_for_user,
                      response_event, user_interface);
}

}  // namespace nelko
