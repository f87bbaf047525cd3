#include "platform/file_system.h"

#include <algorithm>

#include "platform/file_path.h"

namespace nelko {

void FileSystem::Attach(FileEntry& entry) {
  entry.fileSystem = this;
  entry.accessor = this;
}

void FileSystem::Detach(FileEntry&) {}

std::string FileSystem::ExecutableFolder() { return ParentFolder(ExecutablePath()); }

FileSystemRegistry& FileSystemRegistry::Get() {
  // Lives until the process ends: entries may still be closed from static
  // destructors.
  static FileSystemRegistry* const registry = new FileSystemRegistry();
  return *registry;
}

FileSystemRegistry::FileSystemRegistry() : default_(CreateLocalFileSystem()) {}

FileSystem& FileSystemRegistry::FileSystemFor(std::string_view path) {
  std::shared_lock<std::shared_mutex> hold(lock_);
  for (auto it = further_.rbegin(); it != further_.rend(); ++it) {
    if ((*it)->CanHandle(path)) return **it;
  }
  return *default_;
}

void FileSystemRegistry::Register(FileSystem* file_system) {
  std::unique_lock<std::shared_mutex> hold(lock_);
  further_.push_back(file_system);
}

void FileSystemRegistry::Unregister(FileSystem* file_system) {
  std::unique_lock<std::shared_mutex> hold(lock_);
  further_.erase(std::remove(further_.begin(), further_.end(), file_system), further_.end());
}

}  // namespace nelko
