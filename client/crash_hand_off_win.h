#pragma once
// The road of one crash caught inside the engine's own process: the first
// crashing thread wins, hands the crash to a thread made in advance, and that
// thread fills the crash data block, signals the handler, waits for its answer
// and ends the process with the crash's code. Every entry point of
// crash_catching_win.cc ends up here.
//
// What runs on this road runs inside a crashing process: no allocation (the
// heap may be what broke), no lock another thread may hold, no C runtime I/O
// (its stream locks), and almost no stack (a stack overflow leaves about 2 KB).
#include <windows.h>

#include <cstdint>

namespace nelko::client {

class CrashHandlerClient;

namespace crash_hand_off {

struct Setup {
  CrashHandlerClient* client = nullptr;
  // Owned from Start on: the crash and response events, the handler process
  // (SYNCHRONIZE), and where the one line per crash goes (or null).
  HANDLE crash_event = nullptr;
  HANDLE response_event = nullptr;
  HANDLE handler_process = nullptr;
  HANDLE diagnostics = nullptr;
  DWORD response_timeout_ms = 0;
};

// Takes the handles and starts the waiting thread. False (handles closed)
// when the thread or its event cannot be made.
bool Start(const Setup& setup);
// Ends the waiting thread and closes the handles.
void Stop();

// Reports the crash and ends the process with its exception code. Returns
// (false) only when no handler can take it: not started, or the handler
// process has ended. A second crashing thread waits here until the first is
// done; a crash inside this road ends the process at once.
bool ReportAndEnd(const char* caught_by, EXCEPTION_POINTERS* pointers);

// The same for a crash that raised no exception (abort, std::terminate, a
// pure virtual call, an invalid parameter): the registers are this thread's
// here, and the record holds only `code`.
bool ReportHereAndEnd(const char* caught_by, DWORD code);

}  // namespace crash_hand_off
}  // namespace nelko::client
