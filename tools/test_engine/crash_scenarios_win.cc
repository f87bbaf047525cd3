#include "tools/test_engine/crash_scenarios_win.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/time_scale.h"
#include "tools/test_engine/park_step_win.h"

namespace test_engine {
namespace {

constexpr DWORD kContinuableCode = 0xE0004E4Bu;

nelko::client::CrashHandlerClient* g_client = nullptr;
bool g_fatal = false;
DWORD g_wait_ms = 0;
DWORD g_crasher_thread = 0;
// Set once a fault's crash is signalled (see "ending").
HANDLE g_crash_signalled = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void Say(const char* format, unsigned long a, unsigned long b = 0) {
  std::printf(format, a, b);
  std::fflush(stdout);
}

unsigned long CountOwnThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  unsigned long count = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more;
       entry.dwSize = sizeof(entry), more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// The engine's in-process crash handler: fills the block from the real
// exception, signals the handler and waits for its answer.
LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() != g_crasher_thread) return EXCEPTION_CONTINUE_SEARCH;
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  Say("engine: crashed thread %lu code %lx\n", GetCurrentThreadId(), code);
  Say("engine: thread count %lu\n", CountOwnThreads());
  g_client->FillCrashDataBlock(GetCurrentThreadId(), code, g_fatal, pointers->ExceptionRecord,
                               pointers->ContextRecord);
  // With parked threads, the stand-in managed runtime finds its table.
  g_client->crash_data_block()->managedContext = test_engine::ParkedManagedContext();
  SetEvent(g_crash_signalled);
  const bool answered = g_client->SignalCrashAndWait(g_wait_ms);
  std::printf(answered ? "engine: crash response received\n" : "engine: no crash response\n");
  std::fflush(stdout);
  if (g_fatal) ExitProcess(code);
  g_crasher_thread = 0;
  return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI Crasher(void*) {
  if (g_fatal) {
    // Through a volatile address, so the compiler emits the store itself
    // rather than a trap of its own.
    volatile uintptr_t bad = 0x10;
    *reinterpret_cast<volatile int*>(bad) = 1;
  } else {
    RaiseException(kContinuableCode, 0, 0, nullptr);
  }
  return 0;
}

void Fault(nelko::client::CrashHandlerClient& client, bool fatal, DWORD ms) {
  static PVOID handler = AddVectoredExceptionHandler(1, OnException);
  (void)handler;
  g_client = &client;
  g_fatal = fatal;
  g_wait_ms = ms;
  HANDLE thread = CreateThread(nullptr, 0, Crasher, nullptr, CREATE_SUSPENDED, &g_crasher_thread);
  ResumeThread(thread);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

void SignalAndSay(nelko::client::CrashHandlerClient& client, DWORD ms) {
  std::printf(client.SignalCrashAndWait(ms) ? "engine: crash response received\n"
                                            : "engine: no crash response\n");
  std::fflush(stdout);
}

// A block broken in its header (refused by the handler) or in the middle:
// magic, size and process id intact, a field of the exception record or of
// the registers wild, as memory corruption in the engine leaves it.
void CorruptAndSignal(nelko::client::CrashHandlerClient& client, const std::wstring& what, DWORD ms) {
  CONTEXT context = {};
  RtlCaptureContext(&context);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = 0xC0000005u;
  record.NumberParameters = 2;
  client.FillCrashDataBlock(GetCurrentThreadId(), 0xC0000005u, true, &record, &context);
  nelko::CrashDataBlock* block = client.crash_data_block();
  const bool all = what == L"record";
  if (what == L"magic" || what == L"magic-and-size") block->magic ^= 0xFF;
  if (what == L"size" || what == L"magic-and-size") block->size -= 1;
  if (what == L"pid") block->pid += 4;
  if (what == L"parameters" || all) {
    block->exceptionRecord.NumberParameters = 200000;
    for (ULONG_PTR& p : block->exceptionRecord.ExceptionInformation) p = 0x5A5A5A5A;
  }
  if (what == L"chain" || all) {
    block->exceptionRecord.ExceptionRecord = reinterpret_cast<EXCEPTION_RECORD*>(uintptr_t{0x10});
    block->exceptionRecord.ExceptionAddress = reinterpret_cast<void*>(~uintptr_t{0} - 0xF);
    block->exceptionRecord.ExceptionFlags = 0xFFFFFFFFu;
  }
  if (what == L"context" || all) block->context.ContextFlags = 0xFFFFFFFFu;
  if (what == L"thread" || all) block->crashedThreadId = 0xFFFFFFF0u;
  SignalAndSay(client, ms);
}

struct Stream {
  nelko::client::CrashHandlerClient* client = nullptr;
  int count = 0;
  HANDLE thread = nullptr;
};
Stream g_stream;

// Commands that keep coming while a crash is handled: long values that a
// torn copy would show as a mix of two.
DWORD WINAPI Streamer(void*) {
  const std::string as(3000, 'a');
  const std::string bs(5000, 'b');
  for (int k = 0; k < g_stream.count; ++k) {
    const std::string& v = (k % 2) ? as : bs;
    g_stream.client->SetUserMetaData("stream", v.substr(0, 1000));
    g_stream.client->SetInfo(v);
    g_stream.client->RecordLogMessage(v.substr(0, 900), k, k, 1);
  }
  return 0;
}

DWORD WINAPI Idle(void*) {
  Sleep(INFINITE);
  return 0;
}

// Ends `ms` (its parameter) after a fault's crash was signalled.
DWORD WINAPI EndAfterCrash(void* ms) {
  WaitForSingleObject(g_crash_signalled, INFINITE);
  Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(ms)));
  return 0;
}

}  // namespace

bool RunCrashStep(nelko::client::CrashHandlerClient& client, int argc, wchar_t** argv, int& i) {
  const std::wstring step = argv[i];
  auto arg = [&](int k) -> std::wstring { return i + k < argc ? argv[i + k] : L""; };
  if (step == L"fault") {
    Fault(client, arg(1) == L"1", nelko::test::Scaled(static_cast<DWORD>(_wtoi(arg(2).c_str()))));
    i += 2;
  } else if (step == L"corrupt") {
    CorruptAndSignal(client, arg(1), nelko::test::Scaled(static_cast<DWORD>(_wtoi(arg(2).c_str()))));
    i += 2;
  } else if (step == L"stream") {
    g_stream.client = &client;
    g_stream.count = _wtoi(arg(1).c_str());
    g_stream.thread = CreateThread(nullptr, 0, Streamer, nullptr, 0, nullptr);
    i += 1;
  } else if (step == L"stream-join") {
    WaitForSingleObject(g_stream.thread, INFINITE);
    CloseHandle(g_stream.thread);
    Say("engine: stream of %lu commands sent\n", static_cast<unsigned long>(g_stream.count));
  } else if (step == L"latency") {
    // Crash-to-release time as the engine sees it: from the crash event set
    // to the response event seen, for a crash the engine survives.
    const int rounds = _wtoi(arg(1).c_str());
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    for (int k = 0; k < rounds; ++k) {
      CONTEXT context = {};
      RtlCaptureContext(&context);
      EXCEPTION_RECORD record = {};
      record.ExceptionCode = kContinuableCode;
      client.FillCrashDataBlock(GetCurrentThreadId(), kContinuableCode, false, &record, &context);
      QueryPerformanceCounter(&start);
      const bool answered = client.SignalCrashAndWait(INFINITE);
      QueryPerformanceCounter(&end);
      std::printf("engine: crash-to-release %s %.3f ms\n", answered ? "ok" : "failed",
                  1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart));
      std::fflush(stdout);
    }
    i += 1;
  } else if (step == L"ending") {
    const int n = _wtoi(arg(1).c_str());
    const DWORD ms = nelko::test::Scaled(static_cast<DWORD>(_wtoi(arg(2).c_str())));
    for (int k = 1; k <= n; ++k) {
      const uintptr_t after =
          static_cast<uintptr_t>(ms) * static_cast<uintptr_t>(k) / static_cast<uintptr_t>(n);
      CloseHandle(CreateThread(nullptr, 0, EndAfterCrash, reinterpret_cast<void*>(after), 0, nullptr));
    }
    Say("engine: %lu ending threads started\n", static_cast<unsigned long>(n));
    i += 2;
  } else if (step == L"threads") {
    const int n = _wtoi(arg(1).c_str());
    for (int k = 0; k < n; ++k) CloseHandle(CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr));
    Say("engine: %lu threads started\n", static_cast<unsigned long>(n));
    i += 1;
  } else {
    return false;
  }
  return true;
}

}  // namespace test_engine
