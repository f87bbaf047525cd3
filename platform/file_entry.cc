#include "platform/file_entry.h"

#include <cstring>
#include <string>

#include "platform/file_path.h"
#include "platform/file_system.h"

namespace nelko {

FileError FileErrorFromSystemError(uint32_t system_error) {
  switch (system_error) {
    case 0:
      return FileError::kNone;
    case 2:  // ERROR_FILE_NOT_FOUND
    case 3:  // ERROR_PATH_NOT_FOUND
      return FileError::kNotFound;
    case 183:  // ERROR_ALREADY_EXISTS
      return FileError::kAlreadyExists;
    case 5:   // ERROR_ACCESS_DENIED
    case 32:  // ERROR_SHARING_VIOLATION
    case 33:  // ERROR_LOCK_VIOLATION
      return FileError::kAccessDenied;
    case 17:  // ERROR_NOT_SAME_DEVICE
      return FileError::kNotSameDevice;
    case 50:  // ERROR_NOT_SUPPORTED
      return FileError::kNotSupported;
    default:
      return FileError::kUnknown;
  }
}

FileEntry::FileEntry(std::string_view path) { Set(path); }

FileEntry::~FileEntry() {
  if (IsOpen() && accessor != nullptr) accessor->Close(*this);
}

void FileEntry::Set(std::string_view new_path) {
  // Reusing an entry that is still open would leak its handle.
  if (IsOpen() && accessor != nullptr) accessor->Close(*this);
  if (fileSystem != nullptr) fileSystem->Detach(*this);
  const std::string layer = ToLayerPath(new_path);
  std::memcpy(path, layer.data(), layer.size());
  path[layer.size()] = '\0';
  handle = kNoFileHandle;
  error = FileError::kNone;
  FileSystemRegistry::Get().FileSystemFor(path).Attach(*this);
}

}  // namespace nelko
