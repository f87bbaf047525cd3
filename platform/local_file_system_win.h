#pragma once
// The file system over the Windows file calls.
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace nelko {

class LocalFileSystem : public FileSystem {
 public:
  LocalFileSystem();
  ~LocalFileSystem() override;

  bool Open(FileEntry& entry, FileMode mode) override;
  bool ReadAt(FileEntry& entry, uint64_t offset, uint64_t count, void* buffer, uint64_t* done) override;
  bool WriteAt(FileEntry& entry, uint64_t offset, uint64_t count, const void* buffer,
               uint64_t* done) override;
  bool Close(FileEntry& entry) override;
  bool CanHandle(std::string_view path) const override;
  std::string MakeAbsolute(std::string_view path) const override;
  bool IsAbsolute(std::string_view path) const override;
  std::string ExecutablePath() override;
  bool Replace(FileEntry& source, FileEntry& target) override;
  bool Delete(FileEntry& entry) override;
  bool Size(FileEntry& entry, uint64_t* size) override;
  bool CreateFolders(std::string_view folder) override;
  std::vector<std::string> ListFiles(std::string_view folder, std::string_view suffix) override;

  // The raw system error of the calling thread's last operation (0 on success).
  uint32_t LastSystemError() const;

  // The path handed to the system for a layer path: absolute, backslashes,
  // "\\?\" from 248 bytes on, through GetFullPathNameW then.
  std::wstring SystemPath(std::string_view path) const;

 private:
  // Stores the calling thread's error in the slot and the mapped value in the entry.
  void Record(FileEntry& entry, uint32_t system_error) const;
  void Record(uint32_t system_error) const;

  DWORD error_slot_ = TLS_OUT_OF_INDEXES;
  std::once_flag executable_once_;
  std::string executable_path_;
};

}  // namespace nelko
