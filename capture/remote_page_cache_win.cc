#include "capture/remote_page_cache_win.h"

#include <algorithm>
#include <cstring>

namespace nelko {

namespace {

constexpr uint64_t kPageMask = ~static_cast<uint64_t>(RemotePageCache::kPageSize - 1);

// The active cache of this thread; the walk's own hooks (the unwinder's
// read routine, the runtime's read callback) have no context of their own.
thread_local RemotePageCache* t_active = nullptr;

bool ReadStraight(HANDLE process, uint64_t address, void* buffer, size_t size, size_t* bytes_read) {
  SIZE_T got = 0;
  const BOOL ok = ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                                    buffer, size, &got);
  *bytes_read = got;
  return ok && got == size;
}

}  // namespace

void RemotePageCache::Keep(uint64_t begin, uint64_t end) {
  if (begin >= end) return;
  const std::pair<uint64_t, uint64_t> range{begin, end};
  const auto at = std::lower_bound(kept_ranges_.begin(), kept_ranges_.end(), range);
  if (at != kept_ranges_.end() && *at == range) return;
  kept_ranges_.insert(at, range);
}

void RemotePageCache::SetStack(uint64_t low, uint64_t high) {
  stack_low_ = low;
  stack_high_ = high;
}

void RemotePageCache::Forget() {
  pages_.clear();
  stack_low_ = stack_high_ = 0;
}

void RemotePageCache::Clear() {
  Forget();
  kept_pages_.clear();
  kept_ranges_.clear();
}

bool RemotePageCache::IsKept(uint64_t page) const {
  // A few hundred modules at most, asked only when a page is first read.
  for (const auto& range : kept_ranges_) {
    if (page >= range.first && page < range.second) return true;
  }
  return false;
}

bool RemotePageCache::ReadStackFrom(uint64_t page) {
  uint64_t end = std::min(stack_high_, page + kMaxStackRead);
  end = (end + kPageSize - 1) & kPageMask;
  const size_t count = std::min(static_cast<size_t>((end - page) / kPageSize), kMaxPages - pages_.size());
  if (count <= 1) return false;
  std::vector<uint8_t> bytes(count * kPageSize);
  size_t got = 0;
  ++reads_;
  // Protection is per page: a stack that cannot be read whole is read a
  // page at a time.
  if (!ReadStraight(process_, page, bytes.data(), bytes.size(), &got)) return false;
  for (size_t i = 0; i < count; ++i) {
    auto data = std::make_unique<uint8_t[]>(kPageSize);
    std::memcpy(data.get(), bytes.data() + i * kPageSize, kPageSize);
    pages_.insert_or_assign(page + i * kPageSize, std::move(data));
  }
  return true;
}

const uint8_t* RemotePageCache::Page(uint64_t page, bool* full) {
  auto it = pages_.find(page);
  if (it != pages_.end()) return it->second.get();
  it = kept_pages_.find(page);
  if (it != kept_pages_.end()) return it->second.get();
  PageMap& pages = IsKept(page) ? kept_pages_ : pages_;
  if (pages.size() >= kMaxPages) {
    *full = true;
    return nullptr;
  }
  if (&pages == &pages_ && page >= stack_low_ && page < stack_high_ && ReadStackFrom(page)) {
    return pages_.find(page)->second.get();
  }
  auto data = std::make_unique<uint8_t[]>(kPageSize);
  size_t got = 0;
  ++reads_;
  // A page reads whole or not at all.
  if (!ReadStraight(process_, page, data.get(), kPageSize, &got)) data.reset();
  return pages.emplace(page, std::move(data)).first->second.get();
}

bool RemotePageCache::Read(uint64_t address, void* buffer, size_t size, size_t* bytes_read) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size) {
    const uint64_t at = address + done;
    const uint64_t page = at & kPageMask;
    const size_t offset = static_cast<size_t>(at - page);
    const size_t chunk = std::min(size - done, kPageSize - offset);
    bool full = false;
    const uint8_t* data = Page(page, &full);
    if (full) {
      size_t got = 0;
      const bool ok = ReadStraight(process_, at, out + done, chunk, &got);
      done += got;
      if (!ok) break;
      continue;
    }
    if (data == nullptr) break;
    std::memcpy(out + done, data + offset, chunk);
    done += chunk;
  }
  *bytes_read = done;
  return done == size;
}

bool ReadRemoteMemoryCached(HANDLE process, uint64_t address, void* buffer, size_t size, size_t* bytes_read) {
  RemotePageCache* cache = t_active;
  if (cache != nullptr && cache->process() == process) return cache->Read(address, buffer, size, bytes_read);
  return ReadStraight(process, address, buffer, size, bytes_read);
}

ActiveRemotePageCache::ActiveRemotePageCache(RemotePageCache& cache) : previous_(t_active) {
  t_active = &cache;
}

ActiveRemotePageCache::~ActiveRemotePageCache() { t_active = previous_; }

void ActiveRemotePageCache::DeactivateAll() { t_active = nullptr; }

}  // namespace nelko
