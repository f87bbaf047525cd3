// The registry's choice of file system for a path, and entry set-up.
#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nelko {
namespace {

// Serves paths under one prefix; records attach and detach.
class PrefixFileSystem : public FileSystem {
 public:
  explicit PrefixFileSystem(std::string prefix) : prefix_(std::move(prefix)) {}
  bool Open(FileEntry&, FileMode) override { return false; }
  bool ReadAt(FileEntry&, uint64_t, uint64_t, void*, uint64_t*) override { return false; }
  bool WriteAt(FileEntry&, uint64_t, uint64_t, const void*, uint64_t*) override { return false; }
  bool Close(FileEntry&) override { return true; }
  bool CanHandle(std::string_view path) const override { return path.substr(0, prefix_.size()) == prefix_; }
  std::string MakeAbsolute(std::string_view path) const override { return std::string(path); }
  bool IsAbsolute(std::string_view) const override { return true; }
  void Detach(FileEntry&) override { ++detached; }
  std::string ExecutablePath() override { return "C:/A/B/app.exe"; }
  bool Replace(FileEntry&, FileEntry&) override { return false; }
  bool Delete(FileEntry&) override { return false; }
  bool Size(FileEntry&, uint64_t*) override { return false; }
  bool CreateFolders(std::string_view) override { return false; }
  std::vector<std::string> ListFiles(std::string_view, std::string_view) override { return {}; }
  int detached = 0;

 private:
  std::string prefix_;
};

TEST(FileSystemRegistry, LastRegisteredThatAcceptsThePathWins) {
  FileSystemRegistry& registry = FileSystemRegistry::Get();
  PrefixFileSystem archives("archive:");
  PrefixFileSystem packed("archive:packed/");
  registry.Register(&archives);
  registry.Register(&packed);
  EXPECT_EQ(&registry.FileSystemFor("archive:packed/x"), &packed);
  EXPECT_EQ(&registry.FileSystemFor("archive:loose/x"), &archives);
  EXPECT_EQ(&registry.FileSystemFor("C:/x"), &registry.DefaultFileSystem());

  FileEntry entry("archive:packed/x");
  EXPECT_EQ(entry.fileSystem, &packed);
  EXPECT_EQ(entry.accessor, &packed);
  entry.Set("C:\\plain");
  EXPECT_EQ(packed.detached, 1);
  EXPECT_EQ(entry.fileSystem, &registry.DefaultFileSystem());
  EXPECT_STREQ(entry.path, "C:/plain");

  registry.Unregister(&packed);
  registry.Unregister(&archives);
  EXPECT_EQ(&registry.FileSystemFor("archive:packed/x"), &registry.DefaultFileSystem());
}

TEST(FileSystem, ExecutableFolderIsTheParentOfTheExecutable) {
  PrefixFileSystem fs("x");
  EXPECT_EQ(fs.ExecutableFolder(), "C:/A/B");
}

TEST(FileEntry, SetCutsLongPaths) {
  FileEntry entry(std::string(1100, 'p'));
  EXPECT_EQ(std::string(entry.path), std::string(1039, 'p'));
}

}  // namespace
}  // namespace nelko
