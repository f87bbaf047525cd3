#pragma once
// The file layer's interface and the process-wide registry of file systems.
// Callers reach files by UTF-8 path through FileEntry; only LocalFileSystem
// (the Windows file calls) exists at run time.
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_entry.h"

namespace nelko {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens entry.path in the given mode. An entry that is already open is left
  // as it is (true). Sets entry.error.
  virtual bool Open(FileEntry& entry, FileMode mode) = 0;
  // Reads up to count bytes at offset. False without a handle, for a count of
  // 0, or when nothing could be read (so reading at the end fails); a short
  // read at the end of the file is a success. *done gets the bytes read.
  virtual bool ReadAt(FileEntry& entry, uint64_t offset, uint64_t count, void* buffer, uint64_t* done) = 0;
  // Writes count bytes at offset; true only if all were written.
  virtual bool WriteAt(FileEntry& entry, uint64_t offset, uint64_t count, const void* buffer,
                       uint64_t* done) = 0;
  // Closes the handle if there is one; true without a handle.
  virtual bool Close(FileEntry& entry) = 0;
  virtual bool CanHandle(std::string_view path) const = 0;
  virtual std::string MakeAbsolute(std::string_view path) const = 0;
  virtual bool IsAbsolute(std::string_view path) const = 0;
  virtual void Attach(FileEntry& entry);
  virtual void Detach(FileEntry& entry);
  // The handler's own executable (UTF-8, layer form) and its folder.
  virtual std::string ExecutablePath() = 0;
  virtual std::string ExecutableFolder();

  // Replaces target with source in one step (the source's name disappears),
  // so a reader of target sees either the old or the new content, never a
  // half-written file. Both entries must be closed.
  virtual bool Replace(FileEntry& source, FileEntry& target) = 0;
  // Removes the file of a closed entry.
  virtual bool Delete(FileEntry& entry) = 0;
  // The size of an open entry's file.
  virtual bool Size(FileEntry& entry, uint64_t* size) = 0;
  // Creates a folder with every missing parent; true when it exists after.
  virtual bool CreateFolders(std::string_view folder) = 0;
  // Names of the files (not folders) in `folder` whose names end with
  // `suffix`, in the order the system lists them; none when it is missing.
  virtual std::vector<std::string> ListFiles(std::string_view folder, std::string_view suffix) = 0;
};

// The file system over the operating system's own file calls.
std::unique_ptr<FileSystem> CreateLocalFileSystem();

// Owns the default file system and any further ones. Created on first use
// and kept until the process ends.
class FileSystemRegistry {
 public:
  static FileSystemRegistry& Get();

  FileSystem& DefaultFileSystem() { return *default_; }
  // The last registered file system whose CanHandle accepts the path, else
  // the default one.
  FileSystem& FileSystemFor(std::string_view path);
  // Further file systems are not owned; they must outlive their registration.
  void Register(FileSystem* file_system);
  void Unregister(FileSystem* file_system);

 private:
  FileSystemRegistry();
  std::unique_ptr<FileSystem> default_;
  std::shared_mutex lock_;
  std::vector<FileSystem*> further_;
};

}  // namespace nelko
