#pragma once
// Memory of another process read during a stack walk a page at a time: an
// unwinder or a managed runtime reads a few bytes at a time, and every read
// of another process is a trip through the system (under Wine, through its
// server, which a loaded machine makes slow).
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nelko {

class RemotePageCache {
 public:
  static constexpr size_t kPageSize = 4096;
  static constexpr size_t kMaxPages = 1024;  // of each kind; beyond this, reads go straight through
  // The most of a thread's stack taken in one read.
  static constexpr size_t kMaxStackRead = 256 * 1024;

  explicit RemotePageCache(HANDLE process) : process_(process) {}
  RemotePageCache(const RemotePageCache&) = delete;
  RemotePageCache& operator=(const RemotePageCache&) = delete;

  HANDLE process() const { return process_; }

  // Pages in [begin, end) stay across Forget: module images, whose code and
  // unwind data do not change while the walks of one crash run.
  void Keep(uint64_t begin, uint64_t end);
  // The walked thread's stack: the first read in [low, high) takes
  // everything from its page up to `high` (at most kMaxStackRead) in one
  // read, since an unwinder goes on up the stack from there.
  void SetStack(uint64_t low, uint64_t high);
  // Drops every page but those in kept ranges, and the stack range: what
  // another thread's walk must read afresh.
  void Forget();
  // Drops everything, the kept ranges included.
  void Clear();

  // Like ReadProcessMemory; true when all `size` bytes were read, and
  // `*bytes_read` says how many were.
  bool Read(uint64_t address, void* buffer, size_t size, size_t* bytes_read);

  // Reads made of the process so far (a benchmark's figure).
  size_t reads() const { return reads_; }

 private:
  using PageMap = std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>>;  // null: unreadable page

  bool IsKept(uint64_t page) const;
  // The page's bytes, read when not yet held; null when unreadable, and
  // also when the cache is full (then `*full` is set).
  const uint8_t* Page(uint64_t page, bool* full);
  // Reads the stack from `page` up in one go; false when it could not.
  bool ReadStackFrom(uint64_t page);

  HANDLE process_;
  PageMap pages_;
  PageMap kept_pages_;
  std::vector<std::pair<uint64_t, uint64_t>> kept_ranges_;  // sorted, [begin, end)
  uint64_t stack_low_ = 0;
  uint64_t stack_high_ = 0;
  size_t reads_ = 0;
};

// Reads of another process: through the cache that the calling thread made
// active for that process, else straight through ReadProcessMemory.
bool ReadRemoteMemoryCached(HANDLE process, uint64_t address, void* buffer, size_t size, size_t* bytes_read);

// While it lasts, this thread's ReadRemoteMemoryCached calls for the
// cache's process go through `cache`. Only the thread that made it active
// uses it: a runtime calling back from a thread of its own reads straight.
class ActiveRemotePageCache {
 public:
  explicit ActiveRemotePageCache(RemotePageCache& cache);
  ~ActiveRemotePageCache();
  ActiveRemotePageCache(const ActiveRemotePageCache&) = delete;
  ActiveRemotePageCache& operator=(const ActiveRemotePageCache&) = delete;

  // After a walk that the guard abandoned inside such a scope, whose end
  // never ran.
  static void DeactivateAll();

 private:
  RemotePageCache* previous_;
};

}  // namespace nelko
