#pragma once
// Steps of the test engine for managed frames through the real handler:
// crashes whose block carries the parked threads' managed context.
#include <windows.h>

#include "client/crash_handler_client_win.h"

namespace test_engine {

// Runs the step at argv[i] when it is one of these, advancing i past its
// arguments, and returns true; false for any other step.
//   managed-context        give the client the parked threads' managed
//                          context (after park), so every later crash block
//                          carries it
//   crash-parked FATAL MS  signal a crash that names the first parked chain
//                          thread as the crashed one (FATAL 0 or 1) and wait
//                          up to MS for the response
bool RunManagedStep(nelko::client::CrashHandlerClient& client, int argc, wchar_t** argv, int& i);

}  // namespace test_engine
