#include "capture/read_crash_data_block_win.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/diag_capture.h"

namespace nelko {
namespace {

class ReadCrashDataBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory_ = static_cast<CrashDataBlock*>(
        VirtualAlloc(nullptr, sizeof(CrashDataBlock), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(memory_, nullptr);
    memory_->magic = kCrashBlockMagic;
    memory_->pid = GetCurrentProcessId();
    memory_->crashedThreadId = 1234;
    memory_->size = kCrashBlockSize;
    memory_->managedContext = 0x5000;
    memory_->exceptionRecord.ExceptionCode = 0xC0000005u;
    memory_->flags = kCrashBlockFatal;
  }
  void TearDown() override { VirtualFree(memory_, 0, MEM_RELEASE); }

  int32_t Read(CrashDataBlock* block) {
    return ReadCrashDataBlock(GetCurrentProcess(), GetCurrentProcessId(),
                              reinterpret_cast<uintptr_t>(memory_), block);
  }

  test::DiagCapture output_;
  CrashDataBlock* memory_ = nullptr;
};

TEST_F(ReadCrashDataBlockTest, AGoodBlockIsCopiedWhole) {
  memory_->flags = 0xFE | kCrashBlockFatal;  // other bits have no effect
  memory_->reserved2[7] = 9;
  CrashDataBlock block;
  EXPECT_EQ(Read(&block), 0);
  EXPECT_EQ(block.crashedThreadId, 1234u);
  EXPECT_EQ(block.managedContext, 0x5000u);
  EXPECT_EQ(block.exceptionRecord.ExceptionCode, 0xC0000005u);
  EXPECT_TRUE(block.fatal());
  EXPECT_EQ(output_.Take(), "");
}

TEST_F(ReadCrashDataBlockTest, AShortSizeIsCorruptAndBothSizesAreShown) {
  memory_->size = kCrashBlockSize - 1;
  CrashDataBlock block;
  EXPECT_EQ(Read(&block), kCrashBlockCorrupt);
  const std::string pid = std::to_string(GetCurrentProcessId());
  EXPECT_EQ(output_.Take(), "Crash data sent by PID " + pid + " is corrupt: expected size " +
                                std::to_string(kCrashBlockSize) + " but got " +
                                std::to_string(kCrashBlockSize - 1) + "\n");
}

TEST_F(ReadCrashDataBlockTest, AWrongMagicIsReportedBeforeAWrongSize) {
  memory_->magic = 0x1122334455667788ull;
  memory_->size = 7;
  CrashDataBlock block;
  EXPECT_EQ(Read(&block), kCrashBlockCorrupt);
  EXPECT_EQ(output_.Take(),
            "Crash data sent by PID " + std::to_string(GetCurrentProcessId()) +
                " is corrupt: expected magic '0x4e656c6b6f434803' but got '0x1122334455667788'\n");
}

TEST_F(ReadCrashDataBlockTest, ABlockOfAnotherProcessIsCorrupt) {
  memory_->pid = GetCurrentProcessId() + 4;
  CrashDataBlock block;
  EXPECT_EQ(Read(&block), kCrashBlockCorrupt);
  EXPECT_EQ(output_.Take(), "Crash data sent by PID " + std::to_string(GetCurrentProcessId()) +
                                " is corrupt: expected to agree on PID but got " +
                                std::to_string(GetCurrentProcessId() + 4) + "\n");
}

// Wine reads reserved and released address space as zeros (those blocks
// then fail the magic check), so the unreadable addresses here are ones no
// process can map: the lowest page and the top of the address space.
TEST_F(ReadCrashDataBlockTest, AnUnreadableBlockIsReportedWithItsAddressAndSize) {
  CrashDataBlock block;
  EXPECT_EQ(ReadCrashDataBlock(GetCurrentProcess(), GetCurrentProcessId(), 0x10, &block),
            kCrashBlockUnreadable);
  const std::string out = output_.Take();
  EXPECT_EQ(out.rfind("Failed to read PID " + std::to_string(GetCurrentProcessId()) + "'s memory at ", 0), 0u)
      << out;
  EXPECT_NE(out.find(" (" + std::to_string(kCrashBlockSize) + " bytes)\n"), std::string::npos) << out;
  EXPECT_EQ(ReadCrashDataBlock(GetCurrentProcess(), GetCurrentProcessId(), ~uintptr_t{0} - 0x100, &block),
            kCrashBlockUnreadable);
}

}  // namespace
}  // namespace nelko
