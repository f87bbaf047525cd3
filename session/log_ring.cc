#include "session/log_ring.h"

#include <algorithm>
#include <utility>

#include "base/utf8_cut.h"

namespace nelko {

void LogRing::Append(std::string_view message, uint64_t timestamp, int32_t framecount, uint16_t type) {
  RecursiveMutexLock lock(lock_);
  if (records_.empty()) return;  // nothing is kept before the first SetLogBufferSize
  LogRecord& slot = records_[next_];
  slot.message.assign(CutUtf8(message, kMaxLogMessageBytes));
  slot.timestamp = timestamp;
  slot.framecount = framecount;
  slot.type = type;
  if (++next_ == records_.size()) {
    next_ = 0;
    wrapped_ = true;
  }
}

void LogRing::CopyFrom(const LogRing& other) {
  if (&other == this) return;
  std::vector<LogRecord> records;
  bool wrapped = false;
  uint32_t next = 0;
  {
    RecursiveMutexLock lock(other.lock_);
    records = other.records_;
    wrapped = other.wrapped_;
    next = other.next_;
  }
  RecursiveMutexLock lock(lock_);
  records_ = std::move(records);
  wrapped_ = wrapped;
  next_ = next;
}

std::vector<LogRecord> LogRing::Snapshot() const {
  RecursiveMutexLock lock(lock_);
  return SnapshotLocked();
}

std::vector<LogRecord> LogRing::SnapshotLocked() const {
  std::vector<LogRecord> out;
  out.reserve(wrapped_ ? records_.size() : next_);
  if (wrapped_) out.insert(out.end(), records_.begin() + next_, records_.end());
  out.insert(out.end(), records_.begin(), records_.begin() + next_);
  return out;
}

void LogRing::Resize(uint32_t requested_capacity) {
  RecursiveMutexLock lock(lock_);
  if (requested_capacity == records_.size()) return;
  std::vector<LogRecord> kept = SnapshotLocked();
  const uint32_t capacity = std::min(requested_capacity, kMaxLogRingCapacity);
  if (kept.size() > capacity) kept.erase(kept.begin(), kept.end() - capacity);
  const uint32_t count = static_cast<uint32_t>(kept.size());
  kept.resize(capacity);
  records_ = std::move(kept);
  if (count == capacity) {
    next_ = 0;
    wrapped_ = true;
  } else {
    next_ = count;
    wrapped_ = false;
  }
}

uint32_t LogRing::capacity() const {
  RecursiveMutexLock lock(lock_);
  return static_cast<uint32_t>(records_.size());
}

}  // namespace nelko
