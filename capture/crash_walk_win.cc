// PLACEHOLDER until the stack walker lands: no managed runtime, no symbol
// engine, and threads are recorded without frames.
#include "capture/crash_walk_win.h"

namespace nelko {

struct CrashWalk::State {};

CrashWalk::CrashWalk(HANDLE /*process*/, const std::string& /*mono_path*/, uintptr_t /*managed_context*/)
    : state_(std::make_unique<State>()) {}

CrashWalk::~CrashWalk() = default;

void CrashWalk::BeginReport(CrashReport& report, bool /*is_editor*/) { report.hasNativeCrash = true; }

bool CrashWalk::WalkThread(HANDLE /*thread*/, Thread& /*record*/) { return true; }

}  // namespace nelko
