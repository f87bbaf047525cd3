#pragma once
// Test helper: a file system that serves every path containing a marker
// (by default "faulty"), delegates to the local file system and fails the
// chosen operation, optionally only for paths that contain a further text.
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace nelko::test {

class FaultyFileSystem : public FileSystem {
 public:
  enum class Fault { kNone, kOpenForWrite, kWrite, kClose, kReplace, kRead };
  explicit FaultyFileSystem(Fault fault, std::string only_paths_containing = "")
      : fault_(fault),
        only_(std::move(only_paths_containing)),
        real_(FileSystemRegistry::Get().DefaultFileSystem()) {
    FileSystemRegistry::Get().Register(this);
  }
  ~FaultyFileSystem() override { FileSystemRegistry::Get().Unregister(this); }

  bool Open(FileEntry& entry, FileMode mode) override {
    const bool for_write = mode != FileMode::kRead && mode != FileMode::kReadExclusive;
    if (Applies(Fault::kOpenForWrite, entry) && for_write) return Fail(entry);
    const bool ok = real_.Open(entry, mode);
    Attach(entry);  // keep serving the entry after the real open took it over
    return ok;
  }
  bool ReadAt(FileEntry& entry, uint64_t offset, uint64_t count, void* buffer, uint64_t* done) override {
    if (Applies(Fault::kRead, entry) && offset > 0) return Fail(entry);
    return real_.ReadAt(entry, offset, count, buffer, done);
  }
  bool WriteAt(FileEntry& entry, uint64_t offset, uint64_t count, const void* buffer,
               uint64_t* done) override {
    // Half the data reaches the disk, as when the disk fills up.
    if (Applies(Fault::kWrite, entry)) {
      real_.WriteAt(entry, offset, count / 2, buffer, done);
      return Fail(entry);
    }
    return real_.WriteAt(entry, offset, count, buffer, done);
  }
  bool Close(FileEntry& entry) override {
    const bool ok = real_.Close(entry);
    if (Applies(Fault::kClose, entry) && ok) return Fail(entry);
    return ok;
  }
  bool CanHandle(std::string_view path) const override {
    return path.find("faulty") != std::string_view::npos;
  }
  std::string MakeAbsolute(std::string_view path) const override { return real_.MakeAbsolute(path); }
  bool IsAbsolute(std::string_view path) const override { return real_.IsAbsolute(path); }
  std::string ExecutablePath() override { return real_.ExecutablePath(); }
  bool Replace(FileEntry& source, FileEntry& target) override {
    if (Applies(Fault::kReplace, target)) return Fail(target);
    return real_.Replace(source, target);
  }
  bool Delete(FileEntry& entry) override { return real_.Delete(entry); }
  bool Size(FileEntry& entry, uint64_t* size) override { return real_.Size(entry, size); }
  bool CreateFolders(std::string_view folder) override { return real_.CreateFolders(folder); }
  std::vector<std::string> ListFiles(std::string_view folder, std::string_view suffix) override {
    return real_.ListFiles(folder, suffix);
  }

 private:
  bool Applies(Fault fault, const FileEntry& entry) const {
    return fault_ == fault && std::string_view(entry.path).find(only_) != std::string_view::npos;
  }
  static bool Fail(FileEntry& entry) {
    entry.error = FileError::kUnknown;
    return false;
  }
  Fault fault_;
  std::string only_;
  FileSystem& real_;
};

}  // namespace nelko::test
