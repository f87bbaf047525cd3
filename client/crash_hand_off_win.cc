#include "client/crash_hand_off_win.h"

#include "client/crash_handler_client_win.h"

namespace nelko::client::crash_hand_off {
namespace {

// The waiting thread needs little: the block is filled in place and the line
// is formatted in a small buffer.
constexpr SIZE_T kWorkerStackBytes = 64 * 1024;

// Plain handles, not scoped owners: a crash in an exit handler, after static
// destructors ran, must still find them open. Only Stop closes them.
struct State {
  bool started;
  Setup setup;
  HANDLE request;  // set by the crashing thread, waited on by the worker
  HANDLE worker;
  DWORD worker_id;
  volatile LONG stopping;
};
State g_state;

// The thread whose crash is on the road; 0 while none is.
volatile LONG g_owner;

// The crash as the owner hands it over.
struct Crash {
  DWORD thread_id;
  DWORD code;
  EXCEPTION_POINTERS* pointers;
  const char* caught_by;
};
Crash g_crash;

// Registers and record of a crash that raised no exception, in static storage
// (nothing here allocates); written by the owner only.
CONTEXT g_context;
EXCEPTION_RECORD g_record;
EXCEPTION_POINTERS g_pointers;

// True for the first crashing thread. Any other waits until the first is
// done: the process normally ends meanwhile, and if the first gave its crash
// back (no handler), the next takes its turn. A crash on the road itself (the
// owner again, or the waiting thread) ends the process at once.
bool Enter(DWORD code) {
  const LONG me = static_cast<LONG>(GetCurrentThreadId());
  for (;;) {
    const LONG owner = InterlockedCompareExchange(&g_owner, me, 0);
    if (owner == 0) return true;
    if (owner == me || static_cast<DWORD>(me) == g_state.worker_id) {
      TerminateProcess(GetCurrentProcess(), g_crash.code != 0 ? g_crash.code : code);
    }
    Sleep(100);
  }
}

void Leave() { InterlockedExchange(&g_owner, 0); }

bool HandlerAlive() {
  return g_state.started && WaitForSingleObject(g_state.setup.handler_process, 0) == WAIT_TIMEOUT;
}

// One diagnostic line, built in a fixed buffer and written with WriteFile:
// the C runtime's streams take locks that the crashed thread may hold.
class Line {
 public:
  void Add(const char* text) {
    while (*text != '\0' && size_ < sizeof(buffer_)) buffer_[size_++] = *text++;
  }
  void AddHex(uint32_t value) {
    Add("0x");
    for (int shift = 28; shift >= 0; shift -= 4) Put("0123456789ABCDEF"[(value >> shift) & 0xF]);
  }
  void AddDecimal(uint64_t value) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n > 0) Put(digits[--n]);
  }
  void WriteTo(HANDLE file) const {
    DWORD written = 0;
    if (file != nullptr) WriteFile(file, buffer_, static_cast<DWORD>(size_), &written, nullptr);
  }

 private:
  void Put(char c) {
    if (size_ < sizeof(buffer_)) buffer_[size_++] = c;
  }
  char buffer_[256];
  size_t size_ = 0;
};

void WriteOutcome(DWORD outcome, uint64_t waited_ms) {
  Line line;
  line.Add("nelko crash catching: ");
  line.AddHex(g_crash.code);
  line.Add(" on thread ");
  line.AddDecimal(g_crash.thread_id);
  line.Add(" caught by ");
  line.Add(g_crash.caught_by);
  if (outcome == WAIT_OBJECT_0) {
    line.Add("; the handler answered after ");
    line.AddDecimal(waited_ms);
    line.Add(" ms\n");
  } else if (outcome == WAIT_OBJECT_0 + 1) {
    line.Add("; the handler ended without answering after ");
    line.AddDecimal(waited_ms);
    line.Add(" ms\n");
  } else if (outcome == WAIT_TIMEOUT) {
    line.Add("; no answer from the handler within ");
    line.AddDecimal(g_state.setup.response_timeout_ms);
    line.Add(" ms\n");
  } else {
    line.Add("; the handler could not be signalled\n");
  }
  line.WriteTo(g_state.setup.diagnostics);
}

// Fills the block, signals the handler, waits for its answer (or its end, or
// the time-out) and ends the process with the crash's code.
[[noreturn]] void Report() {
  const Setup& setup = g_state.setup;
  setup.client->FillCrashDataBlock(g_crash.thread_id, g_crash.code, /*fatal=*/true,
                                   g_crash.pointers->ExceptionRecord, g_crash.pointers->ContextRecord);
  LARGE_INTEGER frequency = {}, start = {}, end = {};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  DWORD outcome = WAIT_FAILED;
  if (SetEvent(setup.crash_event)) {
    // The handler's end counts as an answer: a handler that died must not
    // keep the game waiting for the whole time-out.
    HANDLE waits[2] = {setup.response_event, setup.handler_process};
    outcome = WaitForMultipleObjects(2, waits, FALSE, setup.response_timeout_ms);
  }
  QueryPerformanceCounter(&end);
  const uint64_t waited_ms = frequency.QuadPart > 0 ? static_cast<uint64_t>(end.QuadPart - start.QuadPart) *
                                                          1000 / frequency.QuadPart
                                                    : 0;
  WriteOutcome(outcome, waited_ms);
  TerminateProcess(GetCurrentProcess(), g_crash.code);
  for (;;) Sleep(INFINITE);  // not reached: ending this process does not return
}

DWORD WINAPI WorkerMain(void*) {
  WaitForSingleObject(g_state.request, INFINITE);
  if (g_state.stopping != 0) return 0;
  Report();
}

// Hands the crash to the waiting thread, which has a stack of its own: this
// thread may have almost none left.
[[noreturn]] void HandOff(const char* caught_by, EXCEPTION_POINTERS* pointers, DWORD code) {
  g_crash.thread_id = GetCurrentThreadId();
  g_crash.code = code;
  g_crash.pointers = pointers;
  g_crash.caught_by = caught_by;
  if (SetEvent(g_state.request)) WaitForSingleObject(g_state.worker, INFINITE);
  // The waiting thread is gone (ended by someone, or the process is exiting
  // and ended every other thread): report from here.
  Report();
}

void CloseAll(Setup& setup) {
  for (HANDLE* h : {&setup.crash_event, &setup.response_event, &setup.handler_process, &setup.diagnostics}) {
    if (*h != nullptr && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
    *h = nullptr;
  }
}

}  // namespace

bool Start(const Setup& setup) {
  Setup given = setup;
  if (g_state.started) {
    CloseAll(given);
    return false;
  }
  g_state.setup = given;
  g_state.stopping = 0;
  g_state.request = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_state.request != nullptr) {
    g_state.worker = CreateThread(nullptr, kWorkerStackBytes, WorkerMain, nullptr,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, &g_state.worker_id);
  }
  if (g_state.request == nullptr || g_state.worker == nullptr) {
    if (g_state.request != nullptr) CloseHandle(g_state.request);
    g_state.request = nullptr;
    CloseAll(g_state.setup);
    return false;
  }
  g_state.started = true;
  return true;
}

void Stop() {
  if (!g_state.started) return;
  g_state.started = false;
  InterlockedExchange(&g_state.stopping, 1);
  SetEvent(g_state.request);
  WaitForSingleObject(g_state.worker, INFINITE);
  CloseHandle(g_state.worker);
  CloseHandle(g_state.request);
  g_state.worker = nullptr;
  g_state.request = nullptr;
  g_state.worker_id = 0;
  CloseAll(g_state.setup);
}

bool ReportAndEnd(const char* caught_by, EXCEPTION_POINTERS* pointers) {
  if (!g_state.started || pointers == nullptr || pointers->ExceptionRecord == nullptr) return false;
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  Enter(code);
  if (!HandlerAlive()) {
    Leave();
    return false;
  }
  HandOff(caught_by, pointers, code);
}

bool ReportHereAndEnd(const char* caught_by, DWORD code) {
  if (!g_state.started) return false;
  Enter(code);
  if (!HandlerAlive()) {
    Leave();
    return false;
  }
  // On x86 this reads the registers of this function's own frame: this file
  // is built with frame pointers (client/CMakeLists.txt), since EBP may hold
  // anything, even 0, when a runtime calls a handler.
  RtlCaptureContext(&g_context);
  g_record = EXCEPTION_RECORD{};
  g_record.ExceptionCode = code;
  g_record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  g_record.ExceptionAddress = __builtin_return_address(0);
  g_pointers.ExceptionRecord = &g_record;
  g_pointers.ContextRecord = &g_context;
  HandOff(caught_by, &g_pointers, code);
}

}  // namespace nelko::client::crash_hand_off
