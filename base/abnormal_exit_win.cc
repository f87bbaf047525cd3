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
  // The 32-bit import library's _set_invalid_parameter_handler only keeps the
  // handler for itself (older msvcrt.dll has no such setter), so msvcrt.dll
  // would never call it: the runtime's own setter is used when it has one.
  _set_invalid_parameter_handler(OnInvalidParameter);
  using SetInvalidParameterHandler = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);
  using SetAbortBehavior = unsigned int(__cdecl*)(unsigned int, unsigned int);
  HMODULE crt = GetModuleHandleW(L"msvcrt.dll");
  if (crt != nullptr) {
    auto set_handler = reinterpret_cast<SetInvalidParameterHandler>(
        reinterpret_cast<void*>(GetProcAddress(crt, "_set_invalid_parameter_handler")));
    if (set_handler != nullptr) set_handler(OnInvalidParameter);
  }
  std::signal(SIGABRT, OnAbort);
  // Report-fault bit: an abort is handed to the system's fault reporting, not
  // swallowed silently. The system msvcrt.dll this program links against may
  // not export the setter (newer runtimes do), so it is looked up at run time.
  if (crt != nullptr) {
    auto set_abort_behavior = reinterpret_cast<SetAbortBehavior>(
        reinterpret_cast<void*>(GetProcAddress(crt, "_set_abort_behavior")));
    if (set_abort_behavior != nullptr) set_abort_behavior(2, 2);
  }
}

}  // namespace nelko
