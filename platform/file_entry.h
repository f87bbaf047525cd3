#pragma once
// One file as callers of the file layer hold it, the uniform error code and
// the open modes. Portable: the system handle is kept as an opaque pointer.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nelko {

class FileSystem;

// Uniform result of the last operation on an entry. The values are fixed
// because they are compared across the code base and shown in diagnostics.
enum class FileError : int32_t {
  kNone = 0,
  kNotFound = 2,
  kAlreadyExists = 7,
  kAccessDenied = 9,
  kNotSameDevice = 10,
  kUnknown = 14,
  kNotSupported = 15,
};

// Maps a raw Windows error number to FileError (0 is success).
FileError FileErrorFromSystemError(uint32_t system_error);

enum class FileMode : int32_t {
  kRead = 0,           // shared read, the file must exist
  kWrite = 1,          // exclusive, created or truncated
  kReadWrite = 2,      // shared read for others, created when missing
  kAppend = 3,         // exclusive, created when missing, positioned at the end
  kCreateNew = 4,      // exclusive, created; kAlreadyExists when the file exists
  kReadExclusive = 5,  // read with no sharing (nobody writes or deletes it meanwhile), must exist
  kUpdate = 6,         // read and write, shared read for others, must exist
};

// Creation hints of FileEntry::flags.
namespace file_flags {
constexpr uint16_t kTemporary = 0x1;
constexpr uint16_t kNotContentIndexed = 0x2;
constexpr uint16_t kHidden = 0x4;
// Writes reach the disk before they return.
constexpr uint16_t kWriteThrough = 0x8;
}  // namespace file_flags

// Room for the path including its terminating NUL; longer paths are cut.
constexpr size_t kFilePathCapacity = 1040;

// The system handle values: none (0) before the first open, invalid after a
// failed one. Both count as "no handle".
inline void* const kNoFileHandle = nullptr;
inline void* const kInvalidFileHandle = reinterpret_cast<void*>(~uintptr_t{0});
inline bool IsValidFileHandle(void* handle) {
  return handle != kNoFileHandle && handle != kInvalidFileHandle;
}

struct FileEntry {
  FileEntry() = default;
  // Same as Set(path).
  explicit FileEntry(std::string_view path);
  // Not copyable: two copies would share one open handle.
  FileEntry(const FileEntry&) = delete;
  FileEntry& operator=(const FileEntry&) = delete;
  // Closes the handle if the owner forgot to.
  ~FileEntry();

  // Detaches from the previous file system, stores the path in the layer's
  // form (cut to 1039 bytes, backslashes turned into slashes except in a
  // leading \\server\ part) and attaches to the file system that serves it.
  void Set(std::string_view path);

  // Whether the entry holds an open handle.
  bool IsOpen() const { return IsValidFileHandle(handle); }

  char path[kFilePathCapacity] = {};
  FileSystem* fileSystem = nullptr;
  FileSystem* accessor = nullptr;
  void* handle = kNoFileHandle;
  uint16_t flags = 0;
  FileError error = FileError::kNone;
};

static_assert(sizeof(FileEntry::path) == 1040, "the path field holds 1039 bytes and the NUL");

}  // namespace nelko
