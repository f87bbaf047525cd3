#pragma once
// The command channel: the reader thread that takes framed messages from the
// standard-input pipe and applies them, and StopChannel that ends it.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "base/scoped_handle_win.h"
#include "session/command_handler.h"

namespace nelko {

struct MessageChannel {
  MessageChannel() = default;
  ~MessageChannel();
  MessageChannel(const MessageChannel&) = delete;
  MessageChannel& operator=(const MessageChannel&) = delete;

  ScopedHandle input;   // the pipe's read end; no handle once closed
  ScopedHandle thread;  // the reader; no handle once stopped
  CommandHandler* handler = nullptr;
  // Held by the reader at all times except inside its blocking read, so that
  // a reader that must be killed is never killed holding a lock.
  ScopedCriticalSection critical_section;
  std::atomic<bool> stop_requested{false};
  // For CatchUpWithPipe: the reader is blocked in its read between two
  // messages with nothing read ahead (`waiting`); a count that moves each
  // time a read returns or a message has been applied; the last catch-up
  // asked for, and the last one the reader answered.
  std::atomic<bool> waiting{false};
  std::atomic<uint32_t> progress{0};
  std::atomic<uint32_t> catch_up_asked{0};
  std::atomic<uint32_t> catch_up_answered{0};
};

// The reader thread's routine; `parameter` is the MessageChannel. Returns 0
// after a normal end (stop requested, the pipe closed or at its end) or a
// Win32 error code.
DWORD WINAPI ReaderThread(void* parameter);

// Starts the reader thread on the channel. False when it could not start.
bool StartChannel(MessageChannel& channel);

// Test seams for StopChannel: the cancel function to use instead of the one
// found in Kernel32.dll (with `cancel_missing` as if there were none).
struct StopChannelHooks {
  BOOL(WINAPI* cancel)(HANDLE thread) = nullptr;
  bool cancel_missing = false;
};

// Lets the reader apply what the engine wrote into the pipe before a crash:
// an engine writes its last log lines, files and metadata and signals the
// crash at once, and the report must not miss them. The reader answers once
// it has applied every message and finds the pipe empty itself, between two
// messages; a reader blocked in its read is woken to look (its read is
// cancelled, which loses nothing). Only the reader touches the pipe: another
// thread's call on a synchronous handle would wait behind the reader's read,
// and could not see a read that has taken bytes but not yet returned.
// Returns true once answered; false when the reader ended, made no progress
// for `stall_ms` (a message the engine never finished), or `limit_ms`
// passed (an engine that never stops writing). Without the system's cancel
// function a blocked reader cannot be asked: one found waiting between two
// messages for `settle_ms` is taken as caught up.
struct CatchUpLimits {
  DWORD stall_ms = 250;
  DWORD limit_ms = 1000;
  DWORD settle_ms = 50;
};
bool CatchUpWithPipe(MessageChannel& channel, const CatchUpLimits& limits = {});

// Limits of StopChannel: a cancel that keeps failing is tried this many
// times, a second apart, before the reader is killed; a cancelled reader is
// given this long to end.
constexpr int kMaxCancelAttempts = 5;
constexpr DWORD kCancelRetryWaitMs = 1000;
constexpr DWORD kCancelledReaderWaitMs = 10000;
// How long a kill waits for the reader to reach its read, polling.
constexpr DWORD kKillSectionWaitMs = 10000;
constexpr DWORD kKillPollMs = 10;

// Ends the reader thread and closes its handle. Returns the thread's exit
// code, or 0 when it had to be killed (or was not running).
DWORD StopChannel(MessageChannel& channel, const StopChannelHooks* hooks = nullptr);

}  // namespace nelko
