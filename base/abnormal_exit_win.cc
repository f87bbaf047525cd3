#include "base/abnormal_exit_win.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "base/diag_output.h"

namespace nelko {
namespace {

void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
  DiagPrintf("Crash handler abnormally terminating due to invalid parameter handler\n");
  TerminateProcess(GetCurrentProcess(), kInvalidParameterExitCode);
}

void __cdecl OnAbort(int) {
  DiagPrintf("Crash handler abnormally terminating due to abort()\n");
  TerminateProcess(GetCurrentProcess(), kAbortExitCode);
}

}  // namespace

void InstallAbnormalTerminationHandlers() {
  _set_invalid_parameter_handler(OnInvalidParameter);
  std::signal(SIGABRT, OnAbort);
  // Report-fault bit: an abort is handed to the system's fault reporting, not
  // swallowed silently. The system msvcrt.dll this program links against may
  // not export the setter (newer runtimes do), so it is looked up at run time.
  using SetAbortBehavior = unsigned int(__cdecl*)(unsigned int, unsigned int);
  if (HMODULE crt = GetModuleHandleW(L"msvcrt.dll")) {
    auto set_abort_behavior = reinterpret_cast<SetAbortBehavior>(
        reinterpret_cast<void*>(GetProcAddress(crt, "_set_abort_behavior")));
    if (set_abort_behavior != nullptr) set_abort_behavior(2, 2);
  }
}

}  // namespace nelko
