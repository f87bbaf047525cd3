#include "report/native_crash.h"

namespace nelko {

void NativeCrash::AddThread(const Thread& thread) {
  if (threads_.size() >= kMaxThreads) return;
  threads_.push_back(thread);
}

}  // namespace nelko
