#include "capture/managed_frame_reader_win.h"

#include <cstring>

#include "base/text_win.h"
#include "capture/remote_page_cache_win.h"
#include "capture/walk_guard_win.h"

namespace nelko {

extern "C" BOOL __cdecl ReadRemoteMemory(void* destination, SIZE_T* bytes_read, uintptr_t remote, SIZE_T size,
                                         void* user_data) {
  // Within a walk, through the walk's cache of the engine's pages.
  size_t got = 0;
  const bool ok = ReadRemoteMemoryCached(static_cast<HANDLE>(user_data), remote, destination, size, &got);
  if (bytes_read != nullptr) *bytes_read = got;
  return ok ? TRUE : FALSE;
}

extern "C" void __cdecl ThrowReadException(uint32_t first, uint32_t second, uint32_t third) {
  OutOfProcessMono::ReadException exception;
  exception.code = third;
  exception.address = first;
  exception.size = second;
  RaiseReadException(exception);
}

std::unique_ptr<ManagedFrameReader> ManagedFrameReader::Create(const std::string& runtime_path,
                                                               HANDLE process, uintptr_t managed_context) {
  if (runtime_path.empty()) return nullptr;
  HMODULE runtime = LoadLibraryW(Utf8ToWide(runtime_path).c_str());
  if (runtime == nullptr) return nullptr;
  auto init =
      reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(runtime, "mono_nelko_oop_init")));
  if (init == nullptr) {
    FreeLibrary(runtime);
    return nullptr;
  }
  // Built by another compiler, without unwind data that the system could
  // search through: the walk guard takes a fault in it at once.
  TakeFaultsAtFirstChanceIn(runtime);
  // The runtime may read the engine's memory already here, and a failure
  // must not end the handler: the same guard as the walks, and no reader if
  // the set-up did not finish. The library stays loaded either way.
  struct InitCall {
    InitFn init;
    HANDLE process;
  } call{init, process};
  const GuardResult result = RunGuarded(
      [](void* argument) {
        auto* c = static_cast<InitCall*>(argument);
        c->init(&ReadRemoteMemory, &ThrowReadException, c->process);
      },
      &call);
  if (result.outcome != WalkOutcome::kCompleted) return nullptr;
  return std::unique_ptr<ManagedFrameReader>(new ManagedFrameReader(runtime, process, managed_context));
}

bool ManagedFrameReader::ResolveFrame(uintptr_t address, CallstackEntry& entry) const {
  // Plain buffers on purpose: a read failure leaves this frame without
  // unwinding it (see walk_guard_win.h).
  char method_name[kManagedNameSize] = {};
  char class_name[kManagedNameSize] = {};
  entry.module_name[0] = '\0';
  StackFrameDetails details = {method_name,      kManagedNameSize,  class_name,
                               kManagedNameSize, entry.module_name, static_cast<uint32_t>(kEntryTextSize)};
  if (managed_context_ == 0) return false;
  auto details_fn = reinterpret_cast<FrameDetailsFn>(
      reinterpret_cast<void*>(GetProcAddress(runtime_, "mono_nelko_oop_get_stack_frame_details")));
  if (details_fn == nullptr) return false;
  if (details_fn(managed_context_, address, &details) == 0) {
    entry.module_name[0] = '\0';  // a native frame names its module itself
    return false;
  }
  // The runtime may leave its texts unterminated at full capacity.
  method_name[kManagedNameSize - 1] = '\0';
  class_name[kManagedNameSize - 1] = '\0';
  entry.module_name[kEntryTextSize - 1] = '\0';
  if (entry.module_name[0] == '\0') CopyEntryText(entry.module_name, kEntryTextSize, kManagedImageFallback);
  CopyEntryText(entry.name, kEntryTextSize,
                ManagedFrameName(class_name, method_name, kEntryTextSize - 1).c_str());
  entry.managed = 1;
  return true;
}

}  // namespace nelko
