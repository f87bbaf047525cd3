#include "capture/walk_guard_win.h"

#include <atomic>

#include "base/recursive_mutex.h"

namespace nelko {

namespace {

struct GuardFrame {
  void* jump[5] = {};  // __builtin_setjmp's buffer
  GuardResult result;
  GuardFrame* outer = nullptr;
  DWORD thread_id = 0;
};

// The innermost active guard. The vectored handler sees every exception of
// every thread, so it must not touch thread-local storage (emulated by the
// compiler's runtime, which may allocate); guards of different threads take
// turns instead (GuardTurns), and the handler compares thread ids.
std::atomic<GuardFrame*> g_guard{nullptr};

RecursiveMutex& GuardTurns() {
  static RecursiveMutex mutex;
  return mutex;
}

// Only errors of the system are faults to catch; exceptions of other
// programs' C++ runtimes (customer bit set) and informational codes (such as
// the debug-output one) belong to whoever raised them.
bool IsSystemError(DWORD code) { return (code & 0xC0000000u) == 0xC0000000u && (code & 0x20000000u) == 0; }

[[noreturn]] void JumpBackToGuard() { __builtin_longjmp(g_guard.load()->jump, 1); }

// Resumes the faulting thread in JumpBackToGuard, on a stack pointer safely
// below everything live, as if it had been called there.
void Redirect(CONTEXT* context) {
#if defined(__x86_64__)
  context->Rsp = ((context->Rsp - 512) & ~static_cast<DWORD64>(15)) - 8;
  context->Rip = reinterpret_cast<DWORD64>(&JumpBackToGuard);
#else
  context->Esp = ((context->Esp - 512) & ~static_cast<DWORD>(15)) - 4;
  context->Eip = reinterpret_cast<DWORD>(&JumpBackToGuard);
#endif
}

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* info) {
  GuardFrame* guard = g_guard.load();
  if (guard == nullptr || guard->thread_id != GetCurrentThreadId()) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == kReadExceptionCode && record->NumberParameters >= 3) {
    guard->result.outcome = WalkOutcome::kReadException;
    guard->result.read_exception.code = static_cast<uint32_t>(record->ExceptionInformation[0]);
    guard->result.read_exception.address = static_cast<uint32_t>(record->ExceptionInformation[1]);
    guard->result.read_exception.size = static_cast<uint32_t>(record->ExceptionInformation[2]);
  } else if (IsSystemError(record->ExceptionCode) && record->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    guard->result.outcome = WalkOutcome::kFault;
    guard->result.fault_code = record->ExceptionCode;
    guard->result.fault_address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
  } else {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  Redirect(info->ContextRecord);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// The handler stays registered for the life of the process: adding and
// removing it per thread walk would cost a lock each time for nothing.
void InstallGuardHandlerOnce() {
  static PVOID handler = AddVectoredExceptionHandler(1, GuardHandler);
  (void)handler;
}

#if !defined(__x86_64__)
// The head of the thread's frame-based handler chain (the first word of the
// thread block, at fs:0).
void* SehChainHead() {
  void* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void SetSehChainHead(void* head) { __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }
#endif

__attribute__((noinline)) void CallBody(void (*body)(void*), void* argument, GuardFrame* guard) {
  try {
    body(argument);
  } catch (const OutOfProcessMono::ReadException& e) {
    guard->result.outcome = WalkOutcome::kReadException;
    guard->result.read_exception = e;
  } catch (...) {
    guard->result.outcome = WalkOutcome::kCppException;
  }
}

}  // namespace

GuardResult RunGuarded(void (*body)(void*), void* argument) {
  InstallGuardHandlerOnce();
  RecursiveMutexLock turn(GuardTurns());
  GuardFrame frame;
  GuardFrame* volatile guard = &frame;
  guard->thread_id = GetCurrentThreadId();
#if !defined(__x86_64__)
  // In the 32-bit build frame-based handlers form a chain in the thread block;
  // records of the abandoned frames must not stay in it. (x64 handlers live in
  // the modules' tables, not on the stack.)
  void* volatile saved_chain = SehChainHead();
#endif
  guard->outer = g_guard.load();
  g_guard.store(guard);
  if (__builtin_setjmp(guard->jump) == 0) {
    CallBody(body, argument, guard);
  } else {
#if !defined(__x86_64__)
    SetSehChainHead(saved_chain);
#endif
  }
  g_guard.store(guard->outer);
  return guard->result;
}

void RaiseReadException(const OutOfProcessMono::ReadException& exception) {
  const ULONG_PTR values[3] = {exception.code, exception.address, exception.size};
  RaiseException(kReadExceptionCode, 0, 3, values);
  // Reached only without a guard on this thread; nothing can go on from here.
  TerminateProcess(GetCurrentProcess(), kReadExceptionCode);
  __builtin_unreachable();
}

}  // namespace nelko
