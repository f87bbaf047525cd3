#pragma once
// Managed frames through the engine's managed runtime: its out-of-process
// exports, pointed at the engine's memory, tell whether a return address lies
// in just-in-time compiled code and name its class and method.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "capture/callstack_entry.h"
#include "capture/out_of_process_mono.h"

namespace nelko {

// The out-record of the frame-details export; six 32-bit fields on x86.
struct StackFrameDetails {
  char* method_name;
  uint32_t method_name_capacity;
  char* class_name;
  uint32_t class_name_capacity;
  char* image_name;
  uint32_t image_name_capacity;
};
static_assert(sizeof(void*) != 4 || sizeof(StackFrameDetails) == 24, "six 32-bit fields on x86");

// The callbacks handed to the runtime.
extern "C" {
// Reads `size` bytes at `remote` of the process passed as `user_data` into
// `destination`; what ReadProcessMemory returns.
BOOL __cdecl ReadRemoteMemory(void* destination, SIZE_T* bytes_read, uintptr_t remote, SIZE_T size,
                              void* user_data);
// The runtime failed to read the engine's memory: carries
// ReadException{third, first, second} back to the walk guard, and does not
// return then. Called from a thread of the runtime's own, where no guard
// could catch it, it writes a line and returns (RaiseReadException).
void __cdecl ThrowReadException(uint32_t first, uint32_t second, uint32_t third);
}

class ManagedFrameReader {
 public:
  using InitFn = void(__cdecl*)(decltype(&ReadRemoteMemory), decltype(&ThrowReadException), void*);
  using FrameDetailsFn = int(__cdecl*)(uintptr_t, uintptr_t, StackFrameDetails*);

  // Loads the runtime from `runtime_path` (UTF-8) and points it at `process`;
  // none when the path is empty, the library does not load or lacks its
  // init export.
  static std::unique_ptr<ManagedFrameReader> Create(const std::string& runtime_path, HANDLE process,
                                                    uintptr_t managed_context);

  // Whether `address` is managed code; if so `entry` gets the "Class.Method()"
  // name, the runtime's image name (or "Mono JIT Code") and the managed flag.
  bool ResolveFrame(uintptr_t address, CallstackEntry& entry) const;

 private:
  ManagedFrameReader(HMODULE runtime, HANDLE process, uintptr_t managed_context)
      : runtime_(runtime), process_(process), managed_context_(managed_context) {}

  // Never freed: once loaded the runtime stays for the life of the handler.
  HMODULE runtime_;
  HANDLE process_;
  uintptr_t managed_context_;
};

}  // namespace nelko
