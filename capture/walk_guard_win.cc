#include "capture/walk_guard_win.h"

#include <atomic>

#include "base/diag_output.h"
#include "base/recursive_mutex.h"

namespace nelko {

namespace {

struct GuardFrame {
  void* jump[5] = {};  // __builtin_setjmp's buffer
  GuardResult result;
  GuardFrame* outer = nullptr;
  DWORD outer_owner = 0;  // the guarded thread before this guard (the same thread, or none)
  // Where the guard resumes after taking an exception: stack of its own
  // frame, so committed and clear of everything live, whatever state the
  // abandoned frames (or an overflowed stack) left behind.
  alignas(16) unsigned char landing[512];
};

// The innermost active guard, and the thread it belongs to. The exception
// handlers see every exception of every thread, so they must not touch
// thread-local storage (emulated by the compiler's runtime, which may
// allocate); guards of different threads take turns instead (GuardTurns), and
// the handlers compare thread ids.
std::atomic<GuardFrame*> g_guard{nullptr};
std::atomic<DWORD> g_guarded_thread{0};

RecursiveMutex& GuardTurns() {
  static RecursiveMutex mutex;
  return mutex;
}

// Code without unwind data whose faults the guard takes at first chance.
struct CodeRange {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
};
constexpr int kMaxFirstChanceRanges = 8;
CodeRange g_first_chance_code[kMaxFirstChanceRanges];
std::atomic<int> g_first_chance_count{0};

[[maybe_unused]] bool InFirstChanceCode(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  const int n = g_first_chance_count.load(std::memory_order_acquire);
  for (int i = 0; i < n; ++i) {
    if (at >= g_first_chance_code[i].begin.load() && at < g_first_chance_code[i].end.load()) return true;
  }
  return false;
}

[[noreturn]] void JumpBackToGuard() { __builtin_longjmp(g_guard.load()->jump, 1); }

// Resumes the thread in JumpBackToGuard on the guard's landing stack, as if
// it had been called there.
void Redirect(CONTEXT* context, GuardFrame* guard) {
  const uintptr_t top = (reinterpret_cast<uintptr_t>(guard->landing) + sizeof(guard->landing) - 64) &
                        ~static_cast<uintptr_t>(15);
#if defined(__x86_64__)
  context->Rsp = top - 8;
  context->Rip = reinterpret_cast<DWORD64>(&JumpBackToGuard);
#else
  context->Esp = top - 4;
  context->Eip = reinterpret_cast<DWORD>(&JumpBackToGuard);
#endif
}

// Records why the walk ends and sends the thread back to the guard.
void Take(GuardFrame* guard, const EXCEPTION_RECORD* record, CONTEXT* context) {
  if (record->ExceptionCode == kReadExceptionCode && record->NumberParameters >= 3) {
    guard->result.outcome = WalkOutcome::kReadException;
    guard->result.read_exception.code = static_cast<uint32_t>(record->ExceptionInformation[0]);
    guard->result.read_exception.address = static_cast<uint32_t>(record->ExceptionInformation[1]);
    guard->result.read_exception.size = static_cast<uint32_t>(record->ExceptionInformation[2]);
  } else {
    guard->result.outcome = WalkOutcome::kFault;
    guard->result.fault_code = record->ExceptionCode;
    guard->result.fault_address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
  }
  Redirect(context, guard);
}

// First in line: only the guard's own read exception and faults in code that
// has no handler of its own to give them to.
LONG CALLBACK FirstChance(EXCEPTION_POINTERS* info) {
  if (!ThisThreadIsGuarded()) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  bool mine = record->ExceptionCode == kReadExceptionCode && record->NumberParameters >= 3;
#if defined(__x86_64__)
  // Without unwind data the search cannot get past such a frame to any
  // handler above it; the 32-bit chain needs no unwind data, and a
  // runtime's own frame-based handlers keep their turn there.
  mine = mine || InFirstChanceCode(record->ExceptionAddress);
#endif
  if (!mine) return EXCEPTION_CONTINUE_SEARCH;
  Take(g_guard.load(), record, info->ContextRecord);
  return EXCEPTION_CONTINUE_EXECUTION;
}

#if defined(__x86_64__)
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;

// Last in line: nothing handled it. On the guarded thread it ends the walk;
// every other thread's exception goes where it went before.
LONG WINAPI LastChance(EXCEPTION_POINTERS* info) {
  if (ThisThreadIsGuarded()) {
    Take(g_guard.load(), info->ExceptionRecord, info->ContextRecord);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return g_previous_filter != nullptr ? g_previous_filter(info) : EXCEPTION_CONTINUE_SEARCH;
}
#else
// A frame-based handler record of the thread's chain (fs:0), with the guard
// it belongs to.
struct ChainRecord {
  ChainRecord* next;
  void* handler;
  GuardFrame* guard;
};

// The head of the thread's frame-based handler chain (the first word of the
// thread block, at fs:0).
ChainRecord* SehChainHead() {
  ChainRecord* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void SetSehChainHead(ChainRecord* head) { __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

// Reached only when no record below the guard's handled the exception.
EXCEPTION_DISPOSITION __cdecl GuardChainHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT* context,
                                                void* /*dispatcher*/) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  Take(static_cast<ChainRecord*>(establisher)->guard, record, context);
  return ExceptionContinueExecution;
}
#endif

// The handlers stay registered for the life of the process: adding and
// removing them per thread walk would cost a lock each time for nothing.
void InstallHandlersOnce() {
  static const bool installed = [] {
    AddVectoredExceptionHandler(1, FirstChance);
#if defined(__x86_64__)
    g_previous_filter = SetUnhandledExceptionFilter(LastChance);
#endif
    return true;
  }();
  (void)installed;
}

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

bool ThisThreadIsGuarded() { return g_guarded_thread.load() == GetCurrentThreadId(); }

GuardResult RunGuarded(void (*body)(void*), void* argument) {
  InstallHandlersOnce();
  RecursiveMutexLock turn(GuardTurns());
  GuardFrame frame;
  GuardFrame* volatile guard = &frame;
  guard->outer_owner = g_guarded_thread.exchange(GetCurrentThreadId());
  guard->outer = g_guard.load();
#if !defined(__x86_64__)
  // Below everything the body calls, so every handler the body's callees
  // put into the chain has its turn first. x64 handlers live in the
  // modules' tables, not on the stack.
  ChainRecord record{SehChainHead(), reinterpret_cast<void*>(&GuardChainHandler), guard};
  ChainRecord* volatile chain = &record;
  SetSehChainHead(chain);
#endif
  g_guard.store(guard);
  if (__builtin_setjmp(guard->jump) == 0) {
    CallBody(body, argument, guard);
  }
#if !defined(__x86_64__)
  // Records of frames the guard abandoned must not stay in the chain.
  SetSehChainHead(chain->next);
#endif
  g_guard.store(guard->outer);
  g_guarded_thread.store(guard->outer_owner);
  return guard->result;
}

void RaiseReadException(const OutOfProcessMono::ReadException& exception) {
  if (!ThisThreadIsGuarded()) {
    DiagPrintf("Refused a managed runtime read failure on thread %lu outside the stack walk\n",
               GetCurrentThreadId());
    return;
  }
  const ULONG_PTR values[3] = {exception.code, exception.address, exception.size};
  RaiseException(kReadExceptionCode, 0, 3, values);
}

void TakeFaultsAtFirstChanceIn(HMODULE module) {
  if (module == nullptr) return;
  const auto base = reinterpret_cast<uintptr_t>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  RecursiveMutexLock turn(GuardTurns());
  const int n = g_first_chance_count.load();
  for (int i = 0; i < n; ++i) {
    if (g_first_chance_code[i].begin.load() == base) return;
  }
  if (n == kMaxFirstChanceRanges) return;
  g_first_chance_code[n].end.store(base + nt->OptionalHeader.SizeOfImage);
  g_first_chance_code[n].begin.store(base);
  g_first_chance_count.store(n + 1, std::memory_order_release);
}

}  // namespace nelko
