#pragma once
// The guard around one thread's walk. Nothing that ends a walk gets past it:
// the managed runtime's read failure, a fault inside the walk, or a C++
// exception of the handler's own code.
//
// The runtime's failure callback cannot throw a C++ exception: in the 32-bit
// product the runtime is built by another compiler and GCC's DWARF-2
// unwinder cannot cross its frames, which would end the handler. Instead the
// callback raises a structured exception carrying the ReadException; a
// vectored handler, first in line and only on the guarded thread, catches it
// and resumes at a point saved when the guard was entered, without unwinding
// the frames in between. Faults (access violations and the other system
// errors) take the same way back. Whatever the walk held in the abandoned
// frames must therefore be owned where the guard's caller can release it
// (see NativeStackWalker::AbandonWalk).
#include <windows.h>

#include <cstdint>

#include "capture/out_of_process_mono.h"

namespace nelko {

enum class WalkOutcome {
  kCompleted,
  kReadException,  // the managed runtime could not read the engine's memory
  kFault,          // a system exception (for example an access violation) inside the walk
  kCppException,   // a C++ exception of the handler's own code
};

struct GuardResult {
  WalkOutcome outcome = WalkOutcome::kCompleted;
  OutOfProcessMono::ReadException read_exception;  // with kReadException
  DWORD fault_code = 0;                            // with kFault
  uintptr_t fault_address = 0;                     // with kFault
};

// Runs `body(argument)` on the calling thread inside the guard.
GuardResult RunGuarded(void (*body)(void*), void* argument);

// Raises the structured exception that carries `exception` back to the
// guard. Never returns.
[[noreturn]] void RaiseReadException(const OutOfProcessMono::ReadException& exception);

// The code of that structured exception (customer bit set).
inline constexpr DWORD kReadExceptionCode = 0xE04E524Bu;

}  // namespace nelko
