// The page cache under the walk's reads of the engine: the same bytes and the
// same failures as ReadProcessMemory, and nothing of one thread's stack
// served for the next.
#include "capture/remote_page_cache_win.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace nelko {
namespace {

constexpr size_t kPage = RemotePageCache::kPageSize;

// Committed pages of this process, read as another process's, filled with a
// pattern.
class Pages {
 public:
  explicit Pages(size_t count) : count_(count) {
    base_ =
        static_cast<uint8_t*>(VirtualAlloc(nullptr, count * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    for (size_t i = 0; base_ != nullptr && i < count * kPage; ++i) base_[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  ~Pages() {
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;

  uint8_t* at(size_t offset) const { return base_ + offset; }
  uint64_t address(size_t offset) const { return reinterpret_cast<uintptr_t>(base_) + offset; }
  uint64_t end() const { return address(count_ * kPage); }

 private:
  size_t count_;
  uint8_t* base_ = nullptr;
};

// The first page of every process is never mapped (a page that is only
// reserved reads as zeros under Wine).
constexpr uint64_t kNeverMapped = 16;

TEST(RemotePageCache, ReadsGiveTheBytesAndTheFailuresOfReadProcessMemory) {
  Pages pages(2);
  ASSERT_NE(pages.at(0), nullptr);
  RemotePageCache cache(GetCurrentProcess());
  std::vector<uint8_t> got(64);
  size_t n = 0;
  // Across the page boundary.
  ASSERT_TRUE(cache.Read(pages.address(kPage - 32), got.data(), got.size(), &n));
  EXPECT_EQ(n, got.size());
  EXPECT_EQ(std::memcmp(got.data(), pages.at(kPage - 32), got.size()), 0);
  EXPECT_FALSE(cache.Read(kNeverMapped, got.data(), 4, &n));
  EXPECT_EQ(n, 0u);
  // Asked again, the page that could not be read still cannot.
  EXPECT_FALSE(cache.Read(kNeverMapped + 8, got.data(), 4, &n));
  // Through the active cache, as the walk's hooks read, and straight
  // through once it is no longer active.
  for (int active = 1; active >= 0; --active) {
    std::unique_ptr<ActiveRemotePageCache> scope;
    if (active) scope = std::make_unique<ActiveRemotePageCache>(cache);
    got.assign(got.size(), 0);
    EXPECT_TRUE(ReadRemoteMemoryCached(GetCurrentProcess(), pages.address(8), got.data(), 8, &n));
    EXPECT_EQ(std::memcmp(got.data(), pages.at(8), 8), 0);
    EXPECT_FALSE(ReadRemoteMemoryCached(GetCurrentProcess(), kNeverMapped, got.data(), 8, &n));
  }
}

TEST(RemotePageCache, AStackReadInOneGoServesEveryPageAndTheNextThreadReadsItAfresh) {
  Pages stack(3);
  ASSERT_NE(stack.at(0), nullptr);
  RemotePageCache cache(GetCurrentProcess());
  cache.SetStack(stack.address(0), stack.end());
  const size_t reads = cache.reads();
  std::vector<uint8_t> got(2 * kPage);
  size_t n = 0;
  ASSERT_TRUE(cache.Read(stack.address(kPage), got.data(), got.size(), &n));
  EXPECT_EQ(std::memcmp(got.data(), stack.at(kPage), got.size()), 0);
  EXPECT_EQ(cache.reads(), reads + 1) << "the stack from the page read up to its end, in one go";

  // The next thread runs on: nothing of the stack as it was may come back.
  std::memset(stack.at(kPage), 0xAB, 2 * kPage);
  cache.Forget();
  ASSERT_TRUE(cache.Read(stack.address(2 * kPage + 8), got.data(), 8, &n));
  EXPECT_EQ(got[0], 0xAB);
  EXPECT_EQ(got[7], 0xAB);
}

}  // namespace
}  // namespace nelko
