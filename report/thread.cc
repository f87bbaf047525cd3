#include "report/thread.h"

#include <cstdio>

namespace nelko {

bool Thread::AddFrame(const StackFrame& frame) {
  if (frames_.size() >= kMaxFrames) return false;
  frames_.push_back(frame);
  return true;
}

std::string ThreadName(uint32_t system_thread_id) {
  // The system's thread ids are shown signed, as the engine's tools expect.
  char text[32];
  std::snprintf(text, sizeof text, "Thread %d", static_cast<int>(system_thread_id));
  return text;
}

}  // namespace nelko
