#pragma once
// One thread of the crashed process with its stack, in walk order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/stack_frame.h"

namespace nelko {

class Thread {
 public:
  // A thread keeps the first this many frames of its walk.
  static constexpr size_t kMaxFrames = 2048;

  uint32_t number = 0;   // 0-based position in the walk order
  std::string name;      // "Thread <system thread id>"
  bool crashed = false;  // the thread that raised the crash

  // Appends a copy of frame; false (and nothing added) once kMaxFrames are
  // present, so a runaway walk cannot grow the report without bound.
  bool AddFrame(const StackFrame& frame);
  const std::vector<StackFrame>& frames() const { return frames_; }

  template <class Transferer>
  void Transfer(Transferer& t) {
    t.Transfer(number, "number");
    t.Transfer(name, "name");
    t.Transfer(crashed, "crashed");
    t.Transfer(frames_, "frames");
    // A document read back may hold more frames than a walk could add.
    if (Transferer::kReading && frames_.size() > kMaxFrames) frames_.resize(kMaxFrames);
  }

 private:
  std::vector<StackFrame> frames_;
};

// The thread's name as the report shows it.
std::string ThreadName(uint32_t system_thread_id);

}  // namespace nelko
