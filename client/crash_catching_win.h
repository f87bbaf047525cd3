#pragma once
// Catching the engine's own crashes, for the handler to capture from outside:
// one call after CrashHandlerClient::Start, for the whole process.
//
//   nelko::client::CrashHandlerClient handler;
//   if (handler.Start(L"NelkoCrashHandler.exe")) nelko::client::InstallCrashHandling(handler);
//
// What is caught, and by what:
// - an unhandled structured exception (access violation, division by zero,
//   an uncaught exception of another compiler's C++...): the unhandled-
//   exception filter;
// - what that filter never sees, taken at first chance by a vectored handler
//   registered after the engine's own (so theirs keep their turn): a stack
//   overflow (64-bit Wine never passes one to the filter), heap corruption
//   and stack-buffer overruns raised as exceptions, and, in 64-bit processes,
//   a fault in code that has no unwind data (a foreign runtime's generated
//   code), through which the system cannot be relied on to dispatch;
// - abort() and SIGABRT, in each C runtime loaded (msvcrt.dll, ucrtbase.dll);
// - a pure virtual call: GCC-built code's (this library defines
//   __cxa_pure_virtual, which the static C++ runtime otherwise leaves a null
//   weak reference: a jump to address 0) and the C runtimes' _purecall
//   handler where the runtime has one;
// - an invalid parameter given to a C runtime that has a handler for it
//   (ucrtbase.dll; msvcrt.dll where it exports the setter, which Wine's
//   does not: there such calls just fail with EINVAL and nothing crashes);
// - std::terminate: an uncaught C++ exception of this compiler.
// Each fills the crash data block (crashed thread, record, registers, fatal),
// signals the handler, waits for its answer up to the time-out, and ends the
// process with the crash's exception code. A second crash meanwhile waits for
// the first. With no handler running (it ended, or was never started) every
// crash goes on as it would have without this library: the previous filter
// and handlers, or the runtime's default.
//
// Not caught in-process (the system ends the process without running any
// handler): fast-fail, and heap corruption the system reports directly.
#include <windows.h>

#include "client/crash_handler_client_win.h"

namespace nelko::client {

// Exception codes of the crashes that raise no exception of their own; the
// block carries them and the process ends with them. The system's own codes
// where it has one.
inline constexpr DWORD kAbortExceptionCode = 0x40000015;             // STATUS_FATAL_APP_EXIT
inline constexpr DWORD kInvalidParameterExceptionCode = 0xC0000417;  // STATUS_INVALID_CRUNTIME_PARAMETER
inline constexpr DWORD kPureCallExceptionCode = 0xE04E4B50;          // "NKP"
inline constexpr DWORD kTerminateExceptionCode = 0xE04E4B54;         // "NKT"

struct CrashHandlingOptions {
  // How long a crashing process waits for the handler to answer. The handler
  // writes a dump and walks every thread: seconds, more for big processes.
  DWORD response_timeout_ms = 60000;
  // Where one line per caught crash goes (what caught it, and how long the
  // handler took), written with WriteFile; null for none. Duplicated.
  HANDLE diagnostics = nullptr;
};

// Installs every catcher for the whole process. False, and nothing
// installed, when the client was not started, its handler has ended, or
// crash handling is installed already. The client must stay alive until
// UninstallCrashHandling (or the process's end).
bool InstallCrashHandling(CrashHandlerClient& client, const CrashHandlingOptions& options = {});

// Puts back the filter and handlers that were there before; does nothing
// when nothing is installed. Not to be called while a crash is handled.
void UninstallCrashHandling();

}  // namespace nelko::client
