#include "session/message_channel_win.h"

#include <exception>

#include "base/diag_output.h"
#include "session/message_reader.h"

namespace nelko {
namespace {

// Reads the pipe with the channel's critical section released, and only
// then: the reader holds the section at every other moment, so a reader that
// StopChannel must kill is always found blocked in ReadFile, never holding
// the heap's, the C runtime's or the loader's lock.
class PipeSource : public ByteSource {
 public:
  // The handle is taken once: StopChannel closes the channel's own while a
  // read may still be under way.
  explicit PipeSource(MessageChannel& channel) : channel_(channel), pipe_(channel.input.get()) {}
  void set_reader(const MessageReader* reader) { reader_ = reader; }
  bool Read(char* buffer, size_t size, size_t* got, uint32_t* error) override {
    const DWORD want = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
    for (;;) {
      const bool idle = reader_ != nullptr && reader_->idle();
      if (idle) AnswerCatchUp();
      DWORD read = 0;
      channel_.waiting.store(idle);
      LeaveCriticalSection(channel_.critical_section.get());
      const BOOL ok = ReadFile(pipe_, buffer, want, &read, nullptr);
      const DWORD last_error = GetLastError();
      channel_.waiting.store(false);
      channel_.progress.fetch_add(1);
      EnterCriticalSection(channel_.critical_section.get());
      // A read cancelled to ask for a catch-up is read again; one cancelled
      // by StopChannel ends the reader.
      if (!ok && last_error == ERROR_OPERATION_ABORTED && !channel_.stop_requested.load()) continue;
      if (!ok) {
        *error = last_error;
        return false;
      }
      *got = read;
      return true;
    }
  }

 private:
  // Between two messages, every message before is applied: when the pipe
  // holds nothing more, the reader has caught up with what was asked.
  void AnswerCatchUp() {
    const uint32_t asked = channel_.catch_up_asked.load();
    if (asked == channel_.catch_up_answered.load()) return;
    DWORD available = 0;
    // A handle that is no pipe (a file) has nothing waiting in it.
    if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
      channel_.catch_up_answered.store(asked);
    }
  }

  MessageChannel& channel_;
  HANDLE pipe_;
  const MessageReader* reader_ = nullptr;
};

// The ends of a pipe that mean "the engine is gone or we were stopped",
// not a fault of the channel.
DWORD ExitCodeForReadError(DWORD error) {
  switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_MORE_ITEMS:
    case ERROR_OPERATION_ABORTED:
      return 0;
    default:
      return error;
  }
}

using CancelFn = BOOL(WINAPI*)(HANDLE);

bool ThreadRunning(HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_TIMEOUT; }

DWORD KillReader(MessageChannel& channel) {
  // The reader releases the section only inside its blocking read, so
  // holding it here means the reader is in ReadFile and holds no lock that
  // this process will need again. A reader that keeps the section (stuck
  // writing its output, say) is left alone rather than killed mid-way.
  for (DWORD waited = 0;; waited += kKillPollMs) {
    if (TryEnterCriticalSection(channel.critical_section.get())) break;
    if (waited >= kKillSectionWaitMs) {
      DiagPrintf("Crash handler's message reader did not reach a safe point to be stopped; left running\n");
      return 0;
    }
    Sleep(kKillPollMs);
  }
  TerminateThread(channel.thread.get(), 0);
  LeaveCriticalSection(channel.critical_section.get());
  WaitForSingleObject(channel.thread.get(), kCancelRetryWaitMs);
  return 0;
}

DWORD ReadMessages(MessageChannel& channel);

}  // namespace

MessageChannel::~MessageChannel() {
  if (thread.valid()) StopChannel(*this);
}

DWORD WINAPI ReaderThread(void* parameter) {
  MessageChannel& channel = *static_cast<MessageChannel*>(parameter);
  CriticalSectionLock lock(channel.critical_section);
  try {
    return ReadMessages(channel);
  } catch (const std::exception&) {
    // Nothing below is expected to throw; should it, the reader ends with a
    // message and the session with its reader-failed result, not the process.
    DiagPrintf("Crash handler's message reader ran out of memory\n");
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

namespace {

DWORD ReadMessages(MessageChannel& channel) {
  PipeSource source(channel);
  MessageReader reader(source);
  source.set_reader(&reader);
  while (!channel.stop_requested.load()) {
    switch (reader.Next()) {
      case MessageReader::Status::kMessage:
        channel.handler->HandleMessage(reader.data(), reader.size());
        channel.progress.fetch_add(1);
        break;
      case MessageReader::Status::kEnd:
        return 0;
      case MessageReader::Status::kReadFailed:
        // A read cut off by StopChannel is a requested end, whatever the error.
        return channel.stop_requested.load() ? 0 : ExitCodeForReadError(reader.error());
      case MessageReader::Status::kTooLong:
        DiagPrintf("Corrupt message sent to crash handler: length %u exceeds the limit of %u bytes\n",
                   reader.length(), kMaxMessageLength);
        return ERROR_INVALID_DATA;
      case MessageReader::Status::kOutOfMemory:
        DiagPrintf("Crash handler could not allocate memory for a message of %u bytes\n", reader.length());
        return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  return 0;
}

}  // namespace

bool CatchUpWithPipe(MessageChannel& channel, const CatchUpLimits& limits) {
  HANDLE thread = channel.thread.get();
  if (thread == nullptr || thread == INVALID_HANDLE_VALUE) return false;
  const auto cancel = reinterpret_cast<CancelFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CancelSynchronousIo")));
  const uint32_t asked = channel.catch_up_asked.fetch_add(1) + 1;
  const ULONGLONG start = GetTickCount64();
  ULONGLONG moved = start;
  uint32_t seen = channel.progress.load();
  // Each wait on the thread doubles as the pause between two looks.
  for (;;) {
    if (channel.catch_up_answered.load() == asked) return true;
    const ULONGLONG now = GetTickCount64();
    const uint32_t progress = channel.progress.load();
    if (progress != seen) {
      seen = progress;
      moved = now;
    }
    if (channel.waiting.load()) {
      // Blocked between two messages: wake it to look at the pipe. A cancel
      // that finds it not yet in its read fails, and is tried again.
      if (cancel != nullptr) {
        cancel(thread);
      } else if (now - moved >= limits.settle_ms) {
        return true;
      }
    }
    if (now - moved >= limits.stall_ms || now - start >= limits.limit_ms) return false;
    if (WaitForSingleObject(thread, 1) != WAIT_TIMEOUT) return false;
  }
}

bool StartChannel(MessageChannel& channel) {
  channel.thread.reset(CreateThread(nullptr, 0, &ReaderThread, &channel, 0, nullptr));
  return channel.thread.valid();
}

DWORD StopChannel(MessageChannel& channel, const StopChannelHooks* hooks) {
  if (!channel.thread.valid()) return 0;
  channel.stop_requested.store(true);
  if (channel.input.valid()) FlushFileBuffers(channel.input.get());
  channel.input.reset();

  // Not present on every system the handler supports: look it up.
  ScopedLibrary kernel32(LoadLibraryA("Kernel32.dll"));
  CancelFn cancel = nullptr;
  if (hooks != nullptr && hooks->cancel_missing) {
    cancel = nullptr;
  } else if (hooks != nullptr && hooks->cancel != nullptr) {
    cancel = hooks->cancel;
  } else if (kernel32) {
    cancel = reinterpret_cast<CancelFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32.get(), "CancelSynchronousIo")));
  }

  HANDLE thread = channel.thread.get();
  DWORD exit_code = 0;
  if (cancel != nullptr) {
    // The cancel fails while the reader is between two reads; it then either
    // ends on the stop flag or blocks in the next read, which the next try
    // cancels. A cancel that keeps failing while the reader is blocked
    // (seen on some systems) must not hold the session for ever: after a
    // few tries the reader is killed instead.
    int attempts = 1;
    bool cancelled = cancel(thread) != FALSE;
    while (!cancelled && GetLastError() != 0 && ThreadRunning(thread) && attempts < kMaxCancelAttempts) {
      WaitForSingleObject(thread, kCancelRetryWaitMs);
      cancelled = cancel(thread) != FALSE;
      ++attempts;
    }
    if (WaitForSingleObject(thread, cancelled ? kCancelledReaderWaitMs : kCancelRetryWaitMs) ==
        WAIT_OBJECT_0) {
      GetExitCodeThread(thread, &exit_code);
    } else {
      exit_code = KillReader(channel);
    }
  } else if (WaitForSingleObject(thread, kCancelRetryWaitMs) == WAIT_OBJECT_0) {
    GetExitCodeThread(thread, &exit_code);
  } else {
    exit_code = KillReader(channel);
  }
  channel.thread.reset();
  return exit_code;
}

}  // namespace nelko
