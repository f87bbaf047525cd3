#pragma once
// The engine's last log messages, kept for the crash report: a ring of at
// most 50 records, filled by RecordLogMessage and read as a snapshot.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/recursive_mutex.h"

namespace nelko {

constexpr uint32_t kMaxLogRingCapacity = 50;
constexpr size_t kMaxLogMessageBytes = 1024;

struct LogRecord {
  std::string message;  // UTF-8, at most kMaxLogMessageBytes bytes
  uint64_t timestamp = 0;
  int32_t framecount = 0;
  uint16_t type = 0;  // the low 16 bits of the number the engine sent

  bool operator==(const LogRecord& other) const {
    return message == other.message && timestamp == other.timestamp && framecount == other.framecount &&
           type == other.type;
  }
};

class LogRing {
 public:
  LogRing() = default;
  LogRing(const LogRing&) = delete;
  LogRing& operator=(const LogRing&) = delete;

  // Stores one record, replacing the oldest when the ring is full. Does
  // nothing while the capacity is 0. A longer message is cut to its first
  // kMaxLogMessageBytes bytes, at the last whole UTF-8 character.
  void Append(std::string_view message, uint64_t timestamp, int32_t framecount, uint16_t type);

  // Copies of the records, oldest first.
  std::vector<LogRecord> Snapshot() const;

  // Sets the capacity to `requested_capacity`, at most kMaxLogRingCapacity,
  // keeping the newest records that fit.
  void Resize(uint32_t requested_capacity);

  uint32_t capacity() const;

  // Makes this ring an exact copy of `other`: capacity, records and the
  // slot the next record goes to.
  void CopyFrom(const LogRing& other);

 private:
  std::vector<LogRecord> SnapshotLocked() const;

  bool wrapped_ = false;
  uint32_t next_ = 0;
  std::vector<LogRecord> records_;  // its size is the capacity
  mutable RecursiveMutex lock_;
};

}  // namespace nelko
