#include "client/crash_catching_win.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "client/crash_hand_off_win.h"
#include "client/protocol.h"

namespace nelko::client {
namespace {

// What caught a crash, as the diagnostic line says it.
constexpr const char* kByFilter = "the unhandled-exception filter";
constexpr const char* kByVectoredHandler = "the vectored exception handler";
constexpr const char* kByAbortSignal = "SIGABRT";
constexpr const char* kByPureCallHandler = "the pure-call handler";
constexpr const char* kByPureVirtualCall = "a pure virtual call";
constexpr const char* kByInvalidParameterHandler = "the invalid-parameter handler";
constexpr const char* kByTerminate = "std::terminate";
constexpr const char* kByTerminateUncaught = "std::terminate (an uncaught C++ exception)";

// GCC's C++ runtime raises this for every throw on 64-bit Windows; when nothing
// catches it, the C runtime's own filter continues it so that std::terminate
// runs. Not a crash of its own.
constexpr DWORD kGccThrowCode = 0x20474343;
// Raised as exceptions by some systems; nothing can continue after them.
constexpr DWORD kHeapCorruptionCode = 0xC0000374;
constexpr DWORD kStackBufferOverrunCode = 0xC0000409;

bool g_installed = false;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
PVOID g_vectored_handler = nullptr;
std::terminate_handler g_previous_terminate = nullptr;

// ---- Structured exceptions

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != kGccThrowCode) {
    crash_hand_off::ReportAndEnd(kByFilter, pointers);  // returns only without a handler
  }
  return g_previous_filter != nullptr ? g_previous_filter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

bool IsHardwareFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
      return true;
    default:
      return false;
  }
}

// Generated code (a foreign runtime's) without unwind data: committed,
// executable, outside any module. A module's own leaf functions have no
// unwind data either, and the system dispatches through those well.
bool InCodeWithoutUnwindData(const void* address) {
#if defined(_WIN64)
  DWORD64 image_base = 0;
  if (RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(address), &image_base, nullptr) != nullptr)
    return false;
  MEMORY_BASIC_INFORMATION info = {};
  if (VirtualQuery(address, &info, sizeof(info)) != sizeof(info)) return false;
  constexpr DWORD kExecutable =
      PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return info.State == MEM_COMMIT && info.Type != MEM_IMAGE && (info.Protect & kExecutable) != 0;
#else
  // A 32-bit process dispatches along the handler chain on the stack,
  // whatever code raised the exception.
  (void)address;
  return false;
#endif
}

// What the unhandled-exception filter would never see, or could not be
// trusted to see. Decided by the code first: a stack overflow leaves this
// thread about 2 KB of stack.
bool TakenAtFirstChance(const EXCEPTION_RECORD& record) {
  switch (record.ExceptionCode) {
    case EXCEPTION_STACK_OVERFLOW:  // 64-bit Wine never hands it to the filter
    case kHeapCorruptionCode:
    case kStackBufferOverrunCode:
      return true;
    default:
      return IsHardwareFault(record.ExceptionCode) && InCodeWithoutUnwindData(record.ExceptionAddress);
  }
}

// Registered last, so the engine's own vectored handlers (a managed runtime's,
// say) have seen the exception first and let it through.
LONG CALLBACK OnFirstChanceException(EXCEPTION_POINTERS* pointers) {
  if (TakenAtFirstChance(*pointers->ExceptionRecord)) {
    crash_hand_off::ReportAndEnd(kByVectoredHandler, pointers);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

// ---- std::terminate

[[noreturn]] void OnTerminate() {
  const bool uncaught = std::current_exception() != nullptr;
  crash_hand_off::ReportHereAndEnd(uncaught ? kByTerminateUncaught : kByTerminate, kTerminateExceptionCode);
  if (g_previous_terminate != nullptr) g_previous_terminate();
  std::abort();
}

// ---- The C runtimes: each loaded one has its own signal table and handlers.

using SignalHandler = void(__cdecl*)(int);
using SignalFn = SignalHandler(__cdecl*)(int, SignalHandler);
using RaiseFn = int(__cdecl*)(int);
using PureCallHandler = void(__cdecl*)();
using SetPureCallHandlerFn = PureCallHandler(__cdecl*)(PureCallHandler);
using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned,
                                               uintptr_t);
using SetInvalidParameterHandlerFn = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);
using SetAbortBehaviorFn = unsigned(__cdecl*)(unsigned, unsigned);
using SetErrorModeFn = int(__cdecl*)(int);

// _set_abort_behavior's bits: the message (a message box in a windowed
// program) and the system's fault reporting. The handler reports instead.
constexpr unsigned kAbortMessageAndFaultReport = 0x1 | 0x2;
constexpr int kErrorModeToStandardError = 1;  // _OUT_TO_STDERR

struct CRuntime {
  HMODULE module;
  SignalFn signal;
  RaiseFn raise;
  SetPureCallHandlerFn set_pure_call_handler;
  SetInvalidParameterHandlerFn set_invalid_parameter_handler;
  InvalidParameterHandler invalid_parameter;  // the runtime's own _invalid_parameter
  SetAbortBehaviorFn set_abort_behavior;
  SetErrorModeFn set_error_mode;

  bool abort_hooked;
  SignalHandler previous_abort;
  bool pure_call_hooked;
  PureCallHandler previous_pure_call;
  bool invalid_parameter_hooked;
  InvalidParameterHandler previous_invalid_parameter;
  bool abort_behavior_set;
  unsigned previous_abort_behavior;
  bool error_mode_set;
  int previous_error_mode;
};

// msvcrt.dll is what MinGW programs use; ucrtbase.dll what modules built by
// current Microsoft compilers use.
constexpr size_t kRuntimeCount = 2;
const wchar_t* const kRuntimeNames[kRuntimeCount] = {L"msvcrt.dll", L"ucrtbase.dll"};
CRuntime g_runtimes[kRuntimeCount];

// One entry point per runtime, so that each gives its crash back to the
// right runtime's previous handler.
template <size_t R>
void __cdecl OnAbortSignal(int) {
  crash_hand_off::ReportHereAndEnd(kByAbortSignal, kAbortExceptionCode);
  // No handler: what the runtime would have done, by the previous handler or
  // its default (which ends the process with 3).
  CRuntime& runtime = g_runtimes[R];
  runtime.signal(SIGABRT, runtime.previous_abort);
  runtime.raise(SIGABRT);
}

template <size_t R>
void __cdecl OnPureCall() {
  crash_hand_off::ReportHereAndEnd(kByPureCallHandler, kPureCallExceptionCode);
  // No handler: the previous handler's turn; when it returns, the runtime
  // ends the process its own way.
  if (g_runtimes[R].previous_pure_call != nullptr) g_runtimes[R].previous_pure_call();
}

template <size_t R>
void __cdecl OnInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                unsigned line, uintptr_t reserved) {
  crash_hand_off::ReportHereAndEnd(kByInvalidParameterHandler, kInvalidParameterExceptionCode);
  CRuntime& runtime = g_runtimes[R];
  if (runtime.previous_invalid_parameter != nullptr) {
    runtime.previous_invalid_parameter(expression, function, file, line, reserved);
    return;
  }
  // The runtime's default runs only when no handler is set: take this one
  // out and let the runtime meet the parameter again.
  runtime.set_invalid_parameter_handler(nullptr);
  runtime.invalid_parameter_hooked = false;
  if (runtime.invalid_parameter != nullptr)
    runtime.invalid_parameter(expression, function, file, line, reserved);
}

const SignalHandler kAbortHandlers[kRuntimeCount] = {OnAbortSignal<0>, OnAbortSignal<1>};
const PureCallHandler kPureCallHandlers[kRuntimeCount] = {OnPureCall<0>, OnPureCall<1>};
const InvalidParameterHandler kInvalidParameterHandlers[kRuntimeCount] = {OnInvalidParameter<0>,
                                                                          OnInvalidParameter<1>};

template <class Function>
Function Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Looked up at run time: the setters exist only in some runtimes (MinGW's
// import library has stand-ins for two of them that keep the handler to
// themselves, so msvcrt.dll would never call it).
void HookRuntime(size_t r) {
  CRuntime& runtime = g_runtimes[r];
  runtime = CRuntime{};
  runtime.module = GetModuleHandleW(kRuntimeNames[r]);
  if (runtime.module == nullptr) return;
  runtime.signal = Lookup<SignalFn>(runtime.module, "signal");
  runtime.raise = Lookup<RaiseFn>(runtime.module, "raise");
  runtime.set_pure_call_handler = Lookup<SetPureCallHandlerFn>(runtime.module, "_set_purecall_handler");
  runtime.set_invalid_parameter_handler =
      Lookup<SetInvalidParameterHandlerFn>(runtime.module, "_set_invalid_parameter_handler");
  runtime.invalid_parameter = Lookup<InvalidParameterHandler>(runtime.module, "_invalid_parameter");
  runtime.set_abort_behavior = Lookup<SetAbortBehaviorFn>(runtime.module, "_set_abort_behavior");
  runtime.set_error_mode = Lookup<SetErrorModeFn>(runtime.module, "_set_error_mode");

  if (runtime.signal != nullptr && runtime.raise != nullptr) {
    const SignalHandler previous = runtime.signal(SIGABRT, kAbortHandlers[r]);
    runtime.abort_hooked = previous != SIG_ERR;
    runtime.previous_abort = runtime.abort_hooked ? previous : SIG_DFL;
  }
  // No message box before SIGABRT: msvcrt.dll has no abort behaviour to set,
  // but sends its message to standard error in this error mode (which also
  // sends assert's there).
  if (runtime.set_abort_behavior != nullptr) {
    runtime.previous_abort_behavior = runtime.set_abort_behavior(0, kAbortMessageAndFaultReport);
    runtime.abort_behavior_set = true;
  } else if (runtime.set_error_mode != nullptr) {
    runtime.previous_error_mode = runtime.set_error_mode(kErrorModeToStandardError);
    runtime.error_mode_set = runtime.previous_error_mode >= 0;
  }
  if (runtime.set_pure_call_handler != nullptr) {
    runtime.previous_pure_call = runtime.set_pure_call_handler(kPureCallHandlers[r]);
    runtime.pure_call_hooked = true;
  }
  if (runtime.set_invalid_parameter_handler != nullptr) {
    runtime.previous_invalid_parameter = runtime.set_invalid_parameter_handler(kInvalidParameterHandlers[r]);
    runtime.invalid_parameter_hooked = true;
  }
}

// Puts back what was there, unless someone replaced this library's handler
// meanwhile: theirs then stays.
void UnhookRuntime(size_t r) {
  CRuntime& runtime = g_runtimes[r];
  if (runtime.invalid_parameter_hooked) {
    const InvalidParameterHandler now =
        runtime.set_invalid_parameter_handler(runtime.previous_invalid_parameter);
    if (now != kInvalidParameterHandlers[r]) runtime.set_invalid_parameter_handler(now);
  }
  if (runtime.pure_call_hooked) {
    const PureCallHandler now = runtime.set_pure_call_handler(runtime.previous_pure_call);
    if (now != kPureCallHandlers[r]) runtime.set_pure_call_handler(now);
  }
  if (runtime.abort_behavior_set) {
    runtime.set_abort_behavior(runtime.previous_abort_behavior, kAbortMessageAndFaultReport);
  }
  if (runtime.error_mode_set) runtime.set_error_mode(runtime.previous_error_mode);
  if (runtime.abort_hooked) {
    const SignalHandler now = runtime.signal(SIGABRT, runtime.previous_abort);
    if (now != kAbortHandlers[r] && now != SIG_ERR) runtime.signal(SIGABRT, now);
  }
  runtime = CRuntime{};
}

HANDLE OpenNamedEvent(const wchar_t* format, DWORD pid) {
  wchar_t name[kEventNameCapacity];
  std::swprintf(name, kEventNameCapacity, format, static_cast<unsigned>(pid));
  return OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
}

HANDLE Duplicate(HANDLE handle, DWORD access, DWORD options) {
  HANDLE copy = nullptr;
  if (!IsValidHandle(handle) ||
      !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, access, FALSE, options)) {
    return nullptr;
  }
  return copy;
}

}  // namespace

bool InstallCrashHandling(CrashHandlerClient& client, const CrashHandlingOptions& options) {
  if (g_installed || client.crash_data_block() == nullptr) return false;
  ScopedHandle handler(Duplicate(client.handler_process(), SYNCHRONIZE, 0));
  if (!handler.valid() || WaitForSingleObject(handler.get(), 0) != WAIT_TIMEOUT) return false;
  const DWORD pid = GetCurrentProcessId();
  ScopedHandle crash_event(OpenNamedEvent(kCrashEventNameFormat, pid));
  ScopedHandle response_event(OpenNamedEvent(kResponseEventNameFormat, pid));
  if (!crash_event.valid() || !response_event.valid()) return false;
  crash_hand_off::Setup setup;
  setup.client = &client;
  setup.response_timeout_ms = options.response_timeout_ms;
  setup.diagnostics = Duplicate(options.diagnostics, 0, DUPLICATE_SAME_ACCESS);
  setup.crash_event = crash_event.release();
  setup.response_event = response_event.release();
  setup.handler_process = handler.release();
  if (!crash_hand_off::Start(setup)) return false;

  g_previous_filter = SetUnhandledExceptionFilter(OnUnhandledException);
  g_vectored_handler = AddVectoredExceptionHandler(/*first=*/0, OnFirstChanceException);
  g_previous_terminate = std::set_terminate(OnTerminate);
  for (size_t r = 0; r < kRuntimeCount; ++r) HookRuntime(r);
  g_installed = true;
  return true;
}

void UninstallCrashHandling() {
  if (!g_installed) return;
  for (size_t r = kRuntimeCount; r-- > 0;) UnhookRuntime(r);
  if (std::get_terminate() == OnTerminate) std::set_terminate(g_previous_terminate);
  if (g_vectored_handler != nullptr) RemoveVectoredExceptionHandler(g_vectored_handler);
  const LPTOP_LEVEL_EXCEPTION_FILTER now = SetUnhandledExceptionFilter(g_previous_filter);
  if (now != OnUnhandledException) SetUnhandledExceptionFilter(now);
  crash_hand_off::Stop();
  g_previous_filter = nullptr;
  g_vectored_handler = nullptr;
  g_previous_terminate = nullptr;
  g_installed = false;
}

}  // namespace nelko::client

// GCC-built code calls this for a pure virtual call. The static C++ runtime
// of MinGW leaves it a weak reference that nothing pulls in, so without this
// definition such a call jumps to address 0. Defined here, it is a crash of
// its own kind; without a handler it does what the C++ runtime's own does.
extern "C" [[noreturn]] void __cxa_pure_virtual() {
  nelko::client::crash_hand_off::ReportHereAndEnd(nelko::client::kByPureVirtualCall,
                                                  nelko::client::kPureCallExceptionCode);
  static const char kText[] = "pure virtual method called\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), kText, sizeof(kText) - 1, &written, nullptr);
  std::terminate();
}
