#pragma once
// The ways the sample game can crash, by name:
//   access-violation        a write to address 16
//   stack-overflow          unbounded recursion
//   abort                   abort()
//   pure-virtual            a pure virtual call during construction
//   uncaught-exception      a C++ exception nobody catches
//   ucrt-pure-call          a pure virtual call of a module built against the
//                           universal C runtime (its _purecall)
//   ucrt-invalid-parameter  an invalid parameter to the universal C runtime
//   generated-code          a fault in generated code that has no unwind data
//   second-thread           an access violation on a thread of its own
//   two-at-once             two threads that access-violate at the same time
// Each says "sample: thread <id> crashes" for every thread about to crash.
#include <string>

// False for a name that is not a crash.
bool IsCrashKind(const std::string& kind);
// Loads what the crash needs before crash handling is installed (the
// universal C runtime, for the ucrt kinds).
void PrepareCrash(const std::string& kind);
// Crashes as the kind says; does not return.
[[noreturn]] void Crash(const std::string& kind);
