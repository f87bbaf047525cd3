#include "capture/crash_walk_win.h"

#include "base/text_win.h"
#include "capture/crash_stack_walker_win.h"
#include "capture/frame_receiver.h"
#include "capture/managed_frame_reader_win.h"
#include "capture/walk_guard_win.h"

namespace nelko {

struct CrashWalk::State {
  std::unique_ptr<ManagedFrameReader> reader;
  std::unique_ptr<CrashStackWalker> walker;
  std::unique_ptr<FrameReceiver> receiver;
};

namespace {

std::string OwnExecutablePath() {
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n < path.size() ? n : 0);
  return WideToUtf8(path);
}

struct WalkCall {
  CrashStackWalker* walker;
  HANDLE thread;
};

void WalkBody(void* argument) {
  auto* call = static_cast<WalkCall*>(argument);
  call->walker->WalkThread(call->thread);
}

}  // namespace

CrashWalk::CrashWalk(HANDLE process, const std::string& mono_path, uintptr_t managed_context)
    : state_(std::make_unique<State>()) {
  state_->reader = ManagedFrameReader::Create(mono_path, process, managed_context);
  state_->walker = std::make_unique<CrashStackWalker>(process, GetProcessId(process),
                                                      NativeStackWalker::kCrashOptions, state_->reader.get());
  state_->walker->LoadModules(false);
}

CrashWalk::~CrashWalk() = default;

void CrashWalk::BeginReport(CrashReport& report, bool is_editor) {
  // The pipeline passes the report's own flag, so that the hash's filter
  // and the report's is_editor always agree.
  state_->receiver =
      std::make_unique<FrameReceiver>(report, OwnExecutablePath(), report.is_editor || is_editor);
  state_->walker->SetReceiver(state_->receiver.get());
}

bool CrashWalk::WalkThread(HANDLE thread, Thread& record) {
  if (state_->receiver) state_->receiver->SetCurrentThread(&record);
  WalkCall call{state_->walker.get(), thread};
  const GuardResult result = RunGuarded(&WalkBody, &call);
  if (result.outcome != WalkOutcome::kCompleted) state_->walker->AbandonWalk();
  if (state_->receiver) state_->receiver->SetCurrentThread(nullptr);
  return result.outcome == WalkOutcome::kCompleted;
}

}  // namespace nelko
