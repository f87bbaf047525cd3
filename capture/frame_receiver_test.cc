// From walker entries to report frames: the application folder of editor
// reports and the frame table for native and managed entries.
#include "capture/frame_receiver.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "report/crash_report.h"
#include "report/thread.h"

namespace nelko {
namespace {

std::unique_ptr<CallstackEntry> NativeEntry(uint64_t address, uint64_t base, const char* module,
                                            const char* image_path) {
  auto entry = std::make_unique<CallstackEntry>();
  entry->Reset(address);
  entry->image_base = base;
  CopyEntryText(entry->module_name, kEntryTextSize, module);
  CopyEntryText(entry->loaded_image_name, kEntryTextSize, image_path);
  return entry;
}

TEST(UserFolderTest, TheExecutableAndTwoFolderLevelsAreDropped) {
  EXPECT_EQ(UserFolderFromExecutablePath("C:\\A\\B\\C\\handler.exe"), "C:\\A");
  EXPECT_EQ(UserFolderFromExecutablePath("C:/A/B/C/handler.exe"), "C:\\A");
  EXPECT_EQ(UserFolderFromExecutablePath("C:\\A\\B\\\\C\\\\handler.exe"), "C:\\A");
  EXPECT_EQ(UserFolderFromExecutablePath("C:\\Games\\Editor\\Data\\Tools\\handler.exe"), "C:\\Games\\Editor");
  EXPECT_EQ(UserFolderFromExecutablePath("handler.exe"), "");
  EXPECT_EQ(UserFolderFromExecutablePath(""), "");
}

TEST(FrameReceiverTest, MarksTheNativeCrashAndFixesTheFolderOnlyForTheEditor) {
  CrashReport report;
  FrameReceiver player(report, "C:\\A\\B\\C\\handler.exe", false);
  EXPECT_TRUE(report.hasNativeCrash);
  EXPECT_EQ(player.user_folder(), "");
  FrameReceiver editor(report, "C:\\A\\B\\C\\handler.exe", true);
  EXPECT_EQ(editor.user_folder(), "C:\\A");
}

TEST(FrameReceiverTest, AModuleIsInTheApplicationFolderByCaseSensitiveSubstring) {
  CrashReport report;
  FrameReceiver receiver(report, "C:\\A\\B\\C\\handler.exe", true);
  Thread thread;
  receiver.SetCurrentThread(&thread);
  receiver.OnEntry(*NativeEntry(0x10001000, 0x10000000, "x", "C:\\A\\Game\\x.dll"));
  receiver.OnEntry(*NativeEntry(0x10001000, 0x10000000, "x", "c:\\a\\Game\\x.dll"));
  ASSERT_EQ(thread.frames().size(), 2u);
  EXPECT_TRUE(thread.frames()[0].inAppDirectory);
  EXPECT_FALSE(thread.frames()[1].inAppDirectory);
}

TEST(FrameReceiverTest, OutsideTheEditorEveryFrameIsInTheApplicationFolder) {
  CrashReport report;
  FrameReceiver receiver(report, "C:\\A\\B\\C\\handler.exe", false);
  Thread thread;
  receiver.SetCurrentThread(&thread);
  receiver.OnEntry(*NativeEntry(0x7B001000, 0x7B000000, "kernel32", "C:\\windows\\system32\\kernel32.dll"));
  ASSERT_EQ(thread.frames().size(), 1u);
  EXPECT_TRUE(thread.frames()[0].inAppDirectory);
}

TEST(FrameReceiverTest, WithoutACurrentThreadEntriesAreDropped) {
  CrashReport report;
  FrameReceiver receiver(report, "", false);
  Thread thread;
  receiver.OnEntry(*NativeEntry(1, 0, "m", ""));
  receiver.SetCurrentThread(&thread);
  receiver.SetCurrentThread(nullptr);
  receiver.OnEntry(*NativeEntry(1, 0, "m", ""));
  EXPECT_TRUE(thread.frames().empty());
}

TEST(StackFrameMappingTest, ANativeEntryCarriesItsImageIdentityAndAddresses) {
  auto entry = NativeEntry(0x10001234, 0x10000000, "game", "C:\\A\\game.dll");
  CopyEntryText(entry->pdb_identifier, kPdbIdentifierSize, "123456789ABCDEF001020304050607082a");
  CopyEntryText(entry->pdb_name, kEntryTextSize, "C:\\build\\game.pdb");
  const StackFrame frame = MakeStackFrame(*entry, "");
  EXPECT_EQ(frame.image_uuid, "123456789ABCDEF001020304050607082a");
  EXPECT_EQ(frame.image_name, "game");
  EXPECT_EQ(frame.image_base_address, 0x10000000u);
  EXPECT_EQ(frame.pdb_name, "C:\\build\\game.pdb");
  EXPECT_FALSE(frame.is_user_image);
  EXPECT_EQ(frame.absolute_pc, 0x10001234u);
  EXPECT_EQ(frame.relative_pc, 0x1234u);
  EXPECT_FALSE(frame.managed);
  EXPECT_TRUE(frame.managed_frame_desc.empty());
}

TEST(StackFrameMappingTest, AnAddressOutsideEveryModuleKeepsItsAbsoluteAddressAsTheRelativeOne) {
  auto entry = NativeEntry(0xFFFFFFFF80001000ull, 0, "", "");
  PrepareFrameLine(*entry);  // the frame line runs first and names the module
  const StackFrame frame = MakeStackFrame(*entry, "");
  EXPECT_EQ(frame.image_name, "(<unknown>)");
  EXPECT_EQ(frame.image_base_address, 0u);
  EXPECT_EQ(frame.absolute_pc, 0xFFFFFFFF80001000ull);
  EXPECT_EQ(frame.relative_pc, frame.absolute_pc);
}

TEST(StackFrameMappingTest, ARelativeAddressBelowTheBaseWraps) {
  const StackFrame frame = MakeStackFrame(*NativeEntry(0x1000, 0x2000, "m", ""), "");
  EXPECT_EQ(frame.relative_pc, 0xFFFFFFFFFFFFF000ull);
}

TEST(StackFrameMappingTest, AManagedEntryCarriesOnlyItsDescriptionAndFolderFlag) {
  auto entry = NativeEntry(0x20001000, 0x20000000, "Mono JIT Code", "C:\\Other\\mono.dll");
  CopyEntryText(entry->name, kEntryTextSize, "Game.Player.Update()");
  CopyEntryText(entry->pdb_identifier, kPdbIdentifierSize, "ABCD");
  CopyEntryText(entry->pdb_name, kEntryTextSize, "x.pdb");
  entry->managed = 1;
  const StackFrame frame = MakeStackFrame(*entry, "C:\\A");
  EXPECT_TRUE(frame.managed);
  EXPECT_EQ(frame.managed_frame_desc, "Game.Player.Update()");
  EXPECT_TRUE(frame.image_uuid.empty());
  EXPECT_TRUE(frame.image_name.empty());
  EXPECT_TRUE(frame.pdb_name.empty());
  EXPECT_EQ(frame.image_base_address, 0u);
  EXPECT_EQ(frame.absolute_pc, 0u);
  EXPECT_EQ(frame.relative_pc, 0u);
  EXPECT_FALSE(frame.inAppDirectory);
}

}  // namespace
}  // namespace nelko
