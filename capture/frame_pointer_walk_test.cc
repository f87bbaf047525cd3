// The x86 frame-pointer chain over synthetic stacks.
#include "capture/frame_pointer_walk.h"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace nelko {
namespace {

// A stack of 32-bit words; anything not written is unreadable.
struct SyntheticStack {
  std::map<uint32_t, uint32_t> words;
  std::vector<uint32_t> reads;

  // A frame at `fp`: the caller's frame pointer, then the return address.
  void Frame(uint32_t fp, uint32_t next_fp, uint32_t return_address) {
    words[fp] = next_fp;
    words[fp + 4] = return_address;
  }

  static bool Read(void* context, uint32_t address, uint32_t* value) {
    auto* self = static_cast<SyntheticStack*>(context);
    self->reads.push_back(address);
    auto it = self->words.find(address);
    if (it == self->words.end()) return false;
    *value = it->second;
    return true;
  }

  std::pair<bool, std::vector<uint32_t>> Walk(uint32_t pc, uint32_t fp) {
    std::vector<uint32_t> addresses;
    const bool complete = WalkFramePointerChain(pc, fp, &Read, this, &addresses);
    return {complete, addresses};
  }
};

TEST(FramePointerWalkTest, AChainEndsOnAZeroReturnAddressAndCountsAsComplete) {
  SyntheticStack stack;
  stack.Frame(0x1000, 0x1100, 0x401010);
  stack.Frame(0x1100, 0x1200, 0x402020);
  stack.Frame(0x1200, 0, 0);
  const auto [complete, addresses] = stack.Walk(0x400500, 0x1000);
  EXPECT_TRUE(complete);
  EXPECT_EQ(addresses, (std::vector<uint32_t>{0x400500, 0x401010, 0x402020}));
}

TEST(FramePointerWalkTest, EachFrameReadsItsReturnAddressBeforeItsLink) {
  SyntheticStack stack;
  stack.Frame(0x1000, 0x1100, 0);
  stack.Walk(0x400500, 0x1000);
  EXPECT_EQ(stack.reads, (std::vector<uint32_t>{0x1004, 0x1000}));
}

TEST(FramePointerWalkTest, AnUnreadableLinkEndsTheWalkAsIncompleteKeepingTheFramesBefore) {
  SyntheticStack stack;
  stack.Frame(0x1000, 0x1100, 0x401010);
  stack.Frame(0x1100, 0x9000, 0x402020);  // 0x9000 is not mapped
  const auto [complete, addresses] = stack.Walk(0x400500, 0x1000);
  EXPECT_FALSE(complete);
  EXPECT_EQ(addresses, (std::vector<uint32_t>{0x400500, 0x401010, 0x402020}));
}

TEST(FramePointerWalkTest, AMissingReturnAddressSlotFailsEvenWhenTheLinkIsReadable) {
  SyntheticStack stack;
  stack.words[0x1000] = 0x1100;  // the link, but no return address at 0x1004
  const auto [complete, addresses] = stack.Walk(0x400500, 0x1000);
  EXPECT_FALSE(complete);
  EXPECT_EQ(addresses, (std::vector<uint32_t>{0x400500}));
}

TEST(FramePointerWalkTest, AZeroPcStartsFromTheFramesOwnReturnAddress) {
  SyntheticStack stack;
  stack.Frame(0x1000, 0x1100, 0x401010);
  stack.Frame(0x1100, 0, 0);
  const auto [complete, addresses] = stack.Walk(0, 0x1000);
  EXPECT_TRUE(complete);
  EXPECT_EQ(addresses, (std::vector<uint32_t>{0x401010}));

  SyntheticStack broken;
  const auto [broken_complete, none] = broken.Walk(0, 0x1000);
  EXPECT_FALSE(broken_complete);
  EXPECT_TRUE(none.empty());
}

TEST(FramePointerWalkTest, AChainLongerThanTheLimitYieldsExactly1024AddressesAndStopsReading) {
  SyntheticStack stack;
  // 2000 frames, each 16 bytes below the next, ending on an unreadable link.
  for (uint32_t i = 0; i < 2000; ++i) stack.Frame(0x10000 + i * 16, 0x10000 + (i + 1) * 16, 0x400000 + i);
  const auto [complete, addresses] = stack.Walk(0x3FFFFF, 0x10000);
  EXPECT_TRUE(complete);
  ASSERT_EQ(addresses.size(), kMaxReturnAddresses);
  EXPECT_EQ(addresses.back(), 0x400000u + 1022);
  // The link after the last stored frame is never read.
  EXPECT_EQ(stack.reads.size(), 2 * (kMaxReturnAddresses - 1));

  // A frame that links to itself is bounded the same way.
  SyntheticStack loop;
  loop.Frame(0x1000, 0x1000, 0x401010);
  EXPECT_EQ(loop.Walk(0x400500, 0x1000).second.size(), kMaxReturnAddresses);
}

TEST(FramePointerWalkTest, ExactlyTheLimitThenABrokenLinkStillCountsAsComplete) {
  SyntheticStack stack;
  for (uint32_t i = 0; i < 1023; ++i) stack.Frame(0x10000 + i * 16, 0x10000 + (i + 1) * 16, 0x400000 + i);
  const auto [complete, addresses] = stack.Walk(0x3FFFFF, 0x10000);
  EXPECT_TRUE(complete);
  EXPECT_EQ(addresses.size(), kMaxReturnAddresses);
}

TEST(FramePointerWalkTest, HighAddressesKeepTheirBitsAndWidenBySignExtension) {
  SyntheticStack stack;
  stack.Frame(0xBFFF0000, 0xBFFF0100, 0x80001000);
  stack.Frame(0xBFFF0100, 0xFFFFFFFC, 0xFFFF0000);  // the next link wraps past the top
  const auto [complete, addresses] = stack.Walk(0x7FFFFFFF, 0xBFFF0000);
  EXPECT_FALSE(complete);
  EXPECT_EQ(addresses, (std::vector<uint32_t>{0x7FFFFFFF, 0x80001000, 0xFFFF0000}));
  EXPECT_EQ(SignExtendAddress(0x7FFFFFFF), 0x000000007FFFFFFFull);
  EXPECT_EQ(SignExtendAddress(0x80000000), 0xFFFFFFFF80000000ull);
  EXPECT_EQ(SignExtendAddress(0x80001000), 0xFFFFFFFF80001000ull);
  EXPECT_EQ(SignExtendAddress(0xFFFF0000), 0xFFFFFFFFFFFF0000ull);
  EXPECT_EQ(SignExtendAddress(0), 0u);
}

}  // namespace
}  // namespace nelko
