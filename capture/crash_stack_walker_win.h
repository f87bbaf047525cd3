#pragma once
// The stack walker of crash processing: asks the managed runtime about every
// address before any symbol lookup and hands every frame to the report's
// frame receiver.
#include <windows.h>

#include <cstdint>

#include "capture/frame_receiver.h"
#include "capture/managed_frame_reader_win.h"
#include "capture/native_stack_walker_win.h"

namespace nelko {

class CrashStackWalker : public NativeStackWalker {
 public:
  // `reader` may be null (no managed runtime); it must outlive the walker.
  CrashStackWalker(HANDLE process, DWORD process_id, uint32_t options, const ManagedFrameReader* reader)
      : NativeStackWalker(process, process_id, options, nullptr), reader_(reader) {
    // Its frames carry no names or lines, and its text goes nowhere.
    LeaveOutTextOnlyLookUps();
  }

  void SetReceiver(FrameReceiver* receiver) { receiver_ = receiver; }

  void OnCallstackEntry(CallstackEventType type, CallstackEntry& entry) override;
  void OnDbgHelpErr(const char* function, DWORD error, uint64_t address) override;
  void OnOutput(const char* text) override;
  bool ResolveSpecialFrame(uintptr_t address, CallstackEntry& entry) override;

 private:
  const ManagedFrameReader* reader_;
  FrameReceiver* receiver_ = nullptr;
};

}  // namespace nelko
