#pragma once
// The native side of a crash: every thread of the crashed process.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/thread.h"

namespace nelko {

class NativeCrash {
 public:
  // A report keeps the first this many threads of the walk.
  static constexpr size_t kMaxThreads = 1024;

  // Nothing in this handler fills the signal fields; they are part of the
  // document format.
  std::string signal_name;
  std::string signal_code;
  uint64_t signal_address = 0;
  uint64_t signal_pc = 0;

  // Appends a copy of thread unless kMaxThreads are present.
  void AddThread(const Thread& thread);
  const std::vector<Thread>& threads() const { return threads_; }

  // The crash signature: SHA-256 over the crashed threads' native frames in
  // the application directory (image_uuid, relative_pc as 8 little-endian
  // bytes, pdb_name), as 64 lowercase hex digits. Load addresses do not
  // enter it, so the same crash site in the same build hashes the same.
  std::string ComputeHash() const;

  template <class Transferer>
  void Transfer(Transferer& t) {
    t.Transfer(signal_name, "signal_name");
    t.Transfer(signal_code, "signal_code");
    t.Transfer(signal_address, "signal_address");
    t.Transfer(signal_pc, "signal_pc");
    t.Transfer(threads_, "threads");
    if (Transferer::kReading && threads_.size() > kMaxThreads) threads_.resize(kMaxThreads);
  }

 private:
  std::vector<Thread> threads_;
};

}  // namespace nelko
