// The local file system on the build machines, so that the portable code
// above the file layer (streams, whole-file JSON) is tested natively with
// the sanitizers. The product uses local_file_system_win.cc.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/file_path.h"
#include "platform/file_system.h"

namespace nelko {
namespace {

// Windows error numbers for the errno values the layer distinguishes.
uint32_t WindowsErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case ENOENT:
    case ENOTDIR:
      return 3;
    case EACCES:
    case EPERM:
    case EBUSY:
      return 5;
    case EEXIST:
      return 183;
    case EXDEV:
      return 17;
    case ENOTSUP:
      return 50;
    default:
      return 0x10000u + static_cast<uint32_t>(error);
  }
}

// The descriptor is kept off by one so that descriptor 0 is not "no handle".
int Descriptor(const FileEntry& entry) {
  return static_cast<int>(reinterpret_cast<intptr_t>(entry.handle) - 1);
}

class PosixFileSystem : public FileSystem {
 public:
  bool Open(FileEntry& entry, FileMode mode) override {
    if (entry.IsOpen()) return true;
    int flags = 0;
    switch (mode) {
      case FileMode::kRead:
        flags = O_RDONLY;
        break;
      case FileMode::kWrite:
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
      case FileMode::kReadWrite:
        flags = O_RDWR | O_CREAT;
        break;
      case FileMode::kAppend:
        flags = O_WRONLY | O_CREAT;
        break;
      case FileMode::kCreateNew:
        flags = O_WRONLY | O_CREAT | O_EXCL;
        break;
      case FileMode::kReadExclusive:
        flags = O_RDONLY;
        break;
      case FileMode::kUpdate:
        flags = O_RDWR;
        break;
    }
    if (entry.flags & file_flags::kWriteThrough) flags |= O_DSYNC;
    const int fd = entry.path[0] == '\0' ? -1 : open(entry.path, flags | O_CLOEXEC, 0644);
    if (fd < 0) {
      Record(entry, entry.path[0] == '\0' ? ENOENT : errno);
      entry.handle = kInvalidFileHandle;
      return false;
    }
    if (mode == FileMode::kAppend && lseek(fd, 0, SEEK_END) < 0) {
      Record(entry, errno);
      close(fd);
      entry.handle = kInvalidFileHandle;
      return false;
    }
    Record(entry, 0);
    entry.handle = reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
    entry.fileSystem = this;
    entry.accessor = this;
    return true;
  }

  bool ReadAt(FileEntry& entry, uint64_t offset, uint64_t count, void* buffer, uint64_t* done) override {
    *done = 0;
    if (!entry.IsOpen() || count == 0) return false;
    bool ok = true;
    while (*done < count) {
      const uint64_t left = count - *done;
      const size_t piece = left < SSIZE_MAX ? static_cast<size_t>(left) : SSIZE_MAX;
      const ssize_t got = pread(Descriptor(entry), static_cast<char*>(buffer) + *done, piece,
                                static_cast<off_t>(offset + *done));
      ok = got >= 0;
      Record(entry, ok ? 0 : errno);
      if (got <= 0) break;
      *done += static_cast<uint64_t>(got);
    }
    return ok && *done > 0;
  }

  bool WriteAt(FileEntry& entry, uint64_t offset, uint64_t count, const void* buffer,
               uint64_t* done) override {
    *done = 0;
    if (!entry.IsOpen()) return false;
    while (*done < count) {
      const uint64_t left = count - *done;
      const size_t piece = left < SSIZE_MAX ? static_cast<size_t>(left) : SSIZE_MAX;
      const ssize_t put = pwrite(Descriptor(entry), static_cast<const char*>(buffer) + *done, piece,
                                 static_cast<off_t>(offset + *done));
      Record(entry, put >= 0 ? 0 : errno);
      if (put <= 0) break;
      *done += static_cast<uint64_t>(put);
    }
    return *done == count;
  }

  bool Close(FileEntry& entry) override {
    if (!entry.IsOpen()) {
      entry.handle = kNoFileHandle;
      return true;
    }
    const bool ok = close(Descriptor(entry)) == 0;
    Record(entry, ok ? 0 : errno);
    entry.handle = kNoFileHandle;
    return ok;
  }

  bool CanHandle(std::string_view) const override { return true; }
  std::string MakeAbsolute(std::string_view path) const override { return std::string(path); }
  bool IsAbsolute(std::string_view path) const override { return IsAbsolutePath(path); }

  std::string ExecutablePath() override {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
    return n > 0 ? ToLayerPath(std::string_view(buffer, static_cast<size_t>(n))) : std::string();
  }

  bool Replace(FileEntry& source, FileEntry& target) override {
    const bool ok = rename(source.path, target.path) == 0;
    Record(target, ok ? 0 : errno);
    source.error = target.error;
    return ok;
  }

  bool Delete(FileEntry& entry) override {
    const bool ok = unlink(entry.path) == 0;
    Record(entry, ok ? 0 : errno);
    return ok;
  }

  bool Size(FileEntry& entry, uint64_t* size) override {
    struct stat status;
    if (!entry.IsOpen() || fstat(Descriptor(entry), &status) != 0) {
      Record(entry, entry.IsOpen() ? errno : EBADF);
      return false;
    }
    *size = static_cast<uint64_t>(status.st_size);
    return true;
  }

  bool CreateFolders(std::string_view folder) override {
    std::string path(folder);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    for (size_t at = 1; at <= path.size(); ++at) {
      if (at < path.size() && path[at] != '/') continue;
      const std::string part = path.substr(0, at);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }

  std::vector<std::string> ListFiles(std::string_view folder, std::string_view suffix) override {
    std::vector<std::string> names;
    const std::string path(folder);
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* item = readdir(dir)) {
      const std::string name = item->d_name;
      struct stat status;
      if (stat((path + "/" + name).c_str(), &status) != 0 || S_ISDIR(status.st_mode)) continue;
      if (name.size() >= suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.push_back(name);
    }
    closedir(dir);
    return names;
  }

 private:
  static void Record(FileEntry& entry, int error) {
    entry.error = FileErrorFromSystemError(WindowsErrorFromErrno(error));
  }
};

}  // namespace

std::unique_ptr<FileSystem> CreateLocalFileSystem() { return std::make_unique<PosixFileSystem>(); }

}  // namespace nelko
