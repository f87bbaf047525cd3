#pragma once
// The guard around one thread's walk. Nothing that ends a walk gets past it:
// the managed runtime's read failure, a fault that nobody handles inside the
// walk, or a C++ exception of the handler's own code.
//
// The runtime's failure callback cannot throw a C++ exception: in the 32-bit
// product the runtime is built by another compiler and GCC's DWARF-2
// unwinder cannot cross its frames, which would end the handler. Instead the
// callback raises a structured exception carrying the ReadException, and the
// guard resumes at a point saved when it was entered, without unwinding the
// frames in between. Whatever the walk held in the abandoned frames must
// therefore be owned where the guard's caller can release it (see
// NativeStackWalker::AbandonWalk).
//
// Which exceptions the guard takes, and when:
// - at first chance (a vectored handler, before anyone else): only its own
//   read exception, and (x64) faults in code registered with
//   TakeFaultsAtFirstChanceIn, whose frames have no unwind data, so that no
//   handler of theirs could ever see the fault and the system cannot be
//   relied on to search past them;
// - at last chance: every exception that nobody else handled. The 32-bit
//   build puts a record of its own into the thread's frame-based handler
//   chain, below everything the walk calls; the 64-bit build has the
//   process's unhandled-exception filter, which answers for the guarded
//   thread and hands every other thread's exception to the filter before it.
// Everything in between belongs to whoever raised or handles it: a system
// function or the symbol library probing memory under its own handler runs
// its handler (and releases the locks it holds) as it would without the
// guard.
#include <windows.h>

#include <cstdint>

#include "capture/out_of_process_mono.h"

namespace nelko {

enum class WalkOutcome {
  kCompleted,
  kReadException,  // the managed runtime could not read the engine's memory
  kFault,          // a structured exception (for example an access violation) nobody handled
  kCppException,   // a C++ exception of the handler's own code
};

struct GuardResult {
  WalkOutcome outcome = WalkOutcome::kCompleted;
  OutOfProcessMono::ReadException read_exception;  // with kReadException
  DWORD fault_code = 0;                            // with kFault
  uintptr_t fault_address = 0;                     // with kFault
};

// Runs `body(argument)` on the calling thread inside the guard. Guards of
// different threads take turns; a body may enter a guard of its own.
GuardResult RunGuarded(void (*body)(void*), void* argument);

// True when the calling thread is inside RunGuarded.
bool ThisThreadIsGuarded();

// Raises the structured exception that carries `exception` back to the
// calling thread's guard; does not return then. On a thread without a guard
// (a runtime calling back from a thread of its own) nothing could catch it
// and the handler would end: the call is refused with a line and returns.
void RaiseReadException(const OutOfProcessMono::ReadException& exception);

// Code of `module` has no unwind data of its own (a foreign runtime): in the
// 64-bit build the guard takes an exception raised there at first chance (the
// 32-bit handler chain needs no unwind data, so the runtime's own handlers
// keep their turn). Kept for the life of the process (such a library is
// never unloaded); a few modules at most.
void TakeFaultsAtFirstChanceIn(HMODULE module);

// The code of the read exception (customer bit set).
inline constexpr DWORD kReadExceptionCode = 0xE04E524Bu;

}  // namespace nelko
