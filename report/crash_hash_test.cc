#include <gtest/gtest.h>

#include "report/native_crash.h"

namespace nelko {
namespace {

const char kEmptyStreamHash[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

StackFrame Native(const std::string& uuid, uint64_t relative_pc, const std::string& pdb,
                  uint64_t base = 0x10000) {
  StackFrame frame;
  frame.image_uuid = uuid;
  frame.image_name = "module.dll";
  frame.image_base_address = base;
  frame.pdb_name = pdb;
  frame.absolute_pc = base + relative_pc;
  frame.relative_pc = relative_pc;
  return frame;
}

StackFrame Managed(const std::string& desc) {
  StackFrame frame;
  frame.managed = true;
  frame.managed_frame_desc = desc;
  return frame;
}

NativeCrash CrashWith(const std::vector<StackFrame>& crashed_frames, bool crashed = true) {
  Thread thread;
  thread.crashed = crashed;
  for (const StackFrame& frame : crashed_frames) thread.AddFrame(frame);
  NativeCrash crash;
  crash.AddThread(thread);
  return crash;
}

TEST(CrashHash, NothingQualifyingHashesTheEmptyStream) {
  EXPECT_EQ(NativeCrash{}.ComputeHash(), kEmptyStreamHash);
  EXPECT_EQ(CrashWith({Managed("A.B()"), Managed("C.D()")}).ComputeHash(), kEmptyStreamHash);
  StackFrame outside = Native("U", 1, "p.pdb");
  outside.inAppDirectory = false;
  EXPECT_EQ(CrashWith({outside}).ComputeHash(), kEmptyStreamHash);
  // Only the crashed thread counts.
  EXPECT_EQ(CrashWith({Native("U", 1, "p.pdb")}, /*crashed=*/false).ComputeHash(), kEmptyStreamHash);
}

TEST(CrashHash, DigestsUuidLittleEndianOffsetAndPdbOfEachFrame) {
  // SHA-256 of "AB12CD34" 34 12 00 00 00 00 00 00 "game.pdb" 01 00 00 00 FF FF FF FF.
  NativeCrash crash = CrashWith(
      {Native("AB12CD34", 0x1234, "game.pdb"), Managed("X.Y()"), Native("", 0xFFFFFFFF00000001ull, "")});
  EXPECT_EQ(crash.ComputeHash(), "7fb52ac74ac2d88c16996774ad57ee2b89875baa1459176a044f190a57d4266b");
}

TEST(CrashHash, SameSiteAtOtherLoadAddressesHashesTheSame) {
  StackFrame a = Native("U1", 0x100, "a.pdb", 0x10000);
  StackFrame b = Native("U2", 0x200, "b.pdb", 0x20000);
  StackFrame a_moved = Native("U1", 0x100, "a.pdb", 0x7FF600000000ull);
  StackFrame b_moved = Native("U2", 0x200, "b.pdb", 0x30000);
  a_moved.image_name = "renamed.dll";
  EXPECT_EQ(CrashWith({a, b}).ComputeHash(), CrashWith({a_moved, b_moved}).ComputeHash());

  EXPECT_NE(CrashWith({a, b}).ComputeHash(), CrashWith({b, a}).ComputeHash());
  EXPECT_NE(CrashWith({a}).ComputeHash(), CrashWith({Native("U1", 0x101, "a.pdb")}).ComputeHash());
}

TEST(CrashHash, OtherThreadsAndManagedFramesDoNotContribute) {
  NativeCrash plain = CrashWith({Native("U", 1, "p.pdb")});

  Thread other;
  other.AddFrame(Native("V", 2, "q.pdb"));
  Thread crashed;
  crashed.crashed = true;
  crashed.AddFrame(Managed("Before()"));
  crashed.AddFrame(Native("U", 1, "p.pdb"));
  crashed.AddFrame(Managed("After()"));
  NativeCrash busy;
  busy.AddThread(other);
  busy.AddThread(crashed);
  EXPECT_EQ(busy.ComputeHash(), plain.ComputeHash());
}

TEST(CrashHash, InTheEditorOnlyModulesUnderTheApplicationDirectoryCount) {
  const std::string app_dir = "C:\\Games\\MyGame";
  StackFrame game = Native("G", 1, "game.pdb");
  StackFrame system = Native("S", 2, "ntdll.pdb");
  game.inAppDirectory = ModuleInAppDirectory("C:\\Games\\MyGame\\game.dll", app_dir);
  system.inAppDirectory = ModuleInAppDirectory("C:\\Windows\\System32\\ntdll.dll", app_dir);
  EXPECT_TRUE(game.inAppDirectory);
  EXPECT_FALSE(system.inAppDirectory);
  EXPECT_EQ(CrashWith({system, game}).ComputeHash(), CrashWith({game}).ComputeHash());

  // Outside the editor the directory is empty and every module counts.
  EXPECT_TRUE(ModuleInAppDirectory("C:\\Windows\\System32\\ntdll.dll", ""));
  // The test is byte-wise and case-sensitive.
  EXPECT_FALSE(ModuleInAppDirectory("c:\\games\\mygame\\game.dll", app_dir));
}

TEST(CrashHash, EveryThreadMarkedCrashedCountsInThreadOrder) {
  auto thread_with = [](const StackFrame& frame, bool crashed) {
    Thread thread;
    thread.crashed = crashed;
    thread.AddFrame(frame);
    return thread;
  };
  const StackFrame first = Native("U1", 0x10, "a.pdb");
  const StackFrame second = Native("U2", 0x20, "b.pdb");
  const StackFrame ignored = Native("U3", 0x30, "c.pdb");

  NativeCrash both;
  both.AddThread(thread_with(first, true));
  both.AddThread(thread_with(ignored, false));
  both.AddThread(thread_with(second, true));
  // The same frames in one crashed thread give the same stream, in order.
  EXPECT_EQ(both.ComputeHash(), CrashWith({first, second}).ComputeHash());
  EXPECT_NE(both.ComputeHash(), CrashWith({second, first}).ComputeHash());
  EXPECT_NE(both.ComputeHash(), CrashWith({first}).ComputeHash());
}

}  // namespace
}  // namespace nelko
