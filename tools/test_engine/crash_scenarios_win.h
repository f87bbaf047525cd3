#pragma once
// Crash scenarios of the test engine: real exceptions caught in the engine
// and reported through the crash data block, broken blocks, idle threads.
#include <windows.h>

#include "client/crash_handler_client_win.h"

namespace test_engine {

// Runs the step at argv[i] when it is one of these, advancing i past its
// arguments, and returns true; false for any other step.
//   fault FATAL MS     raise a real exception on a new thread ("crasher"):
//                      FATAL 1 an access violation the engine does not
//                      survive (it ends with the exception code once the
//                      handler answers), FATAL 0 a continuable exception
//                      0xE0004E4B after which the engine goes on
//   corrupt WHAT MS    signal a fatal crash whose block has a wrong magic,
//                      size, pid or magic-and-size (WHAT), which the handler
//                      refuses; or whose header is right but whose exception
//                      record or registers are wild: parameters (a count of
//                      200000), chain (wild chain pointer, address and
//                      flags), context (every context flag set), thread (a
//                      crashed thread id of no thread), or record (all of
//                      these at once)
//   stream N           start sending N rounds of SetUserMetaData, SetInfo
//                      and RecordLogMessage from another thread (no other
//                      step may send until stream-join)
//   stream-join        wait until the stream is sent
//   latency R          R crashes the engine survives, each timed from the
//                      crash event to the response ("engine: crash-to-release")
//   threads N          start N threads that wait until the engine ends
//   ending N MS        start N threads that end one after another once a
//                      fault's crash is signalled, the last MS after it
//                      (to end while the handler walks the threads)
// A fault's crash data block carries the managed context of parked
// threads, when there are any (park_step_win.h).
bool RunCrashStep(nelko::client::CrashHandlerClient& client, int argc, wchar_t** argv, int& i);

}  // namespace test_engine
