#include "platform/local_file_system_win.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <shlobj.h>

#include "base/diag_output.h"
#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "platform/file_path.h"

namespace nelko {
namespace {

struct ModeParameters {
  DWORD access;
  DWORD sharing;
  DWORD creation;
};

ModeParameters ParametersFor(FileMode mode) {
  switch (mode) {
    case FileMode::kRead:
      return {FILE_GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING};
    case FileMode::kWrite:
      return {FILE_GENERIC_WRITE, 0, CREATE_ALWAYS};
    case FileMode::kReadWrite:
      return {FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS};
    case FileMode::kAppend:
      return {FILE_GENERIC_WRITE, 0, OPEN_ALWAYS};
    case FileMode::kCreateNew:
      return {FILE_GENERIC_WRITE, 0, CREATE_NEW};
    case FileMode::kReadExclusive:
      return {FILE_GENERIC_READ, 0, OPEN_EXISTING};
    case FileMode::kUpdate:
      return {FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING};
  }
  return {0, 0, 0};
}

DWORD AttributesFor(uint16_t flags) {
  DWORD attributes = 0;
  if (flags & file_flags::kTemporary) attributes |= FILE_ATTRIBUTE_TEMPORARY;
  if (flags & file_flags::kNotContentIndexed) attributes |= FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (flags & file_flags::kHidden) attributes |= FILE_ATTRIBUTE_HIDDEN;
  if (flags & file_flags::kWriteThrough) attributes |= FILE_FLAG_WRITE_THROUGH;
  return attributes;
}

bool SeekTo(HANDLE handle, uint64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handle, distance, nullptr, FILE_BEGIN) != FALSE;
}

// Gives `to` the owner-independent access rights (the DACL) of `from`.
void CarrySecurity(const std::wstring& from, const std::wstring& to) {
  DWORD needed = 0;
  GetFileSecurityW(from.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) return;
  std::vector<unsigned char> descriptor(needed);
  if (GetFileSecurityW(from.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed))
    SetFileSecurityW(to.c_str(), DACL_SECURITY_INFORMATION, descriptor.data());
}

// One ReadFile/WriteFile moves at most this many bytes.
constexpr uint64_t kMaxPiece = 0xFFFFFFFFu;

}  // namespace

std::unique_ptr<FileSystem> CreateLocalFileSystem() { return std::make_unique<LocalFileSystem>(); }

LocalFileSystem::LocalFileSystem() : error_slot_(TlsAlloc()) {
  if (error_slot_ == TLS_OUT_OF_INDEXES) {
    // Without the slot no file operation can report its error; nothing sound
    // can follow.
    DiagPrintf("Failed to allocate the file system's thread-local error slot.\n");
    std::abort();
  }
}

LocalFileSystem::~LocalFileSystem() { TlsFree(error_slot_); }

void LocalFileSystem::Record(uint32_t system_error) const {
  TlsSetValue(error_slot_, reinterpret_cast<void*>(static_cast<uintptr_t>(system_error)));
}

void LocalFileSystem::Record(FileEntry& entry, uint32_t system_error) const {
  Record(system_error);
  entry.error = FileErrorFromSystemError(system_error);
}

uint32_t LocalFileSystem::LastSystemError() const {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(TlsGetValue(error_slot_)));
}

bool LocalFileSystem::CanHandle(std::string_view) const { return true; }

bool LocalFileSystem::IsAbsolute(std::string_view path) const { return IsAbsolutePath(path); }

std::string LocalFileSystem::MakeAbsolute(std::string_view path) const {
  if (IsAbsolute(path)) return std::string(path);
  // The base folder is empty: the system resolves a relative path against
  // the current directory.
  return JoinPath("", path);
}

std::wstring LocalFileSystem::SystemPath(std::string_view path) const {
  if (path.empty()) return std::wstring();
  std::string absolute = MakeAbsolute(path);
  bool needs_full_path = false;
  if (!IsAbsolute(absolute) && absolute.size() >= kLongPathThreshold) {
    // "\\?\" turns off all normalisation, so a long relative path must
    // become a full one before the prefix is put in front.
    std::string backslashed = absolute;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    const std::wstring relative = Utf8ToWide(backslashed);
    const DWORD size = GetFullPathNameW(relative.c_str(), 0, nullptr, nullptr);
    if (size != 0) {
      std::wstring full(size, L'\0');
      const DWORD n = GetFullPathNameW(relative.c_str(), size, full.data(), nullptr);
      if (n != 0 && n < size) absolute = WideToUtf8(std::wstring_view(full.data(), n));
    }
  }
  const std::wstring system = Utf8ToWide(ToSystemPathUtf8(absolute, &needs_full_path));
  if (!needs_full_path) return system;
  std::vector<wchar_t> full(system.size() + 2);
  const DWORD n = GetFullPathNameW(system.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return system;
  return std::wstring(full.data(), n);
}

bool LocalFileSystem::Open(FileEntry& entry, FileMode mode) {
  if (entry.IsOpen()) return true;
  const ModeParameters parameters = ParametersFor(mode);
  const std::wstring path = SystemPath(entry.path);
  HANDLE handle = CreateFileW(path.c_str(), parameters.access, parameters.sharing, nullptr,
                              parameters.creation, AttributesFor(entry.flags), nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // CREATE_NEW says ERROR_FILE_EXISTS, which the uniform codes do not
    // know; callers of a create-new open need to tell "taken" apart.
    if (error == ERROR_FILE_EXISTS) error = ERROR_ALREADY_EXISTS;
    Record(entry, error);
    entry.handle = kInvalidFileHandle;
    return false;
  }
  if (mode == FileMode::kAppend) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(handle, zero, nullptr, FILE_END)) {
      Record(entry, GetLastError());
      CloseHandle(handle);
      entry.handle = kInvalidFileHandle;
      return false;
    }
  }
  Record(entry, ERROR_SUCCESS);
  entry.handle = handle;
  entry.fileSystem = this;
  entry.accessor = this;
  return true;
}

bool LocalFileSystem::ReadAt(FileEntry& entry, uint64_t offset, uint64_t count, void* buffer,
                             uint64_t* done) {
  *done = 0;
  if (!entry.IsOpen() || count == 0) return false;
  if (!SeekTo(entry.handle, offset)) {
    Record(entry, GetLastError());
    return false;
  }
  uint8_t* out = static_cast<uint8_t*>(buffer);
  BOOL ok = FALSE;
  while (*done < count) {
    const uint64_t left = count - *done;
    const DWORD piece = static_cast<DWORD>(left < kMaxPiece ? left : kMaxPiece);
    DWORD got = 0;
    ok = ReadFile(entry.handle, out + *done, piece, &got, nullptr);
    Record(entry, ok ? ERROR_SUCCESS : GetLastError());
    *done += got;
    // A successful read of nothing is the end of the file.
    if (!ok || got == 0) break;
  }
  return ok && *done > 0;
}

bool LocalFileSystem::WriteAt(FileEntry& entry, uint64_t offset, uint64_t count, const void* buffer,
                              uint64_t* done) {
  *done = 0;
  if (!entry.IsOpen()) return false;
  if (!SeekTo(entry.handle, offset)) {
    Record(entry, GetLastError());
    return false;
  }
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  while (*done < count) {
    const uint64_t left = count - *done;
    const DWORD piece = static_cast<DWORD>(left < kMaxPiece ? left : kMaxPiece);
    DWORD put = 0;
    const BOOL ok = WriteFile(entry.handle, in + *done, piece, &put, nullptr);
    Record(entry, ok ? ERROR_SUCCESS : GetLastError());
    *done += put;
    if (!ok || put == 0) break;
  }
  return *done == count;
}

bool LocalFileSystem::Close(FileEntry& entry) {
  if (!entry.IsOpen()) {
    entry.handle = kNoFileHandle;
    return true;
  }
  const BOOL ok = CloseHandle(entry.handle);
  Record(entry, ok ? ERROR_SUCCESS : GetLastError());
  entry.handle = kNoFileHandle;
  return ok != FALSE;
}

bool LocalFileSystem::Replace(FileEntry& source, FileEntry& target) {
  const std::wstring from = SystemPath(source.path);
  const std::wstring to = SystemPath(target.path);
  // Windows refuses to replace a read-only file, Wine does not: check it
  // here so a read-only file is never rewritten on either.
  const DWORD attributes = GetFileAttributesW(to.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    Record(target, ERROR_ACCESS_DENIED);
    source.error = target.error;
    return false;
  }
  // The move is one step (a reader sees the old or the new file, never half
  // of one); the replaced file's attributes and access rights are carried
  // over to the new one first, so the user's hidden flag or permissions
  // survive the rewrite.
  if (attributes != INVALID_FILE_ATTRIBUTES) CarrySecurity(to, from);
  const BOOL ok = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (ok && attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(to.c_str(), attributes);
  Record(target, ok ? ERROR_SUCCESS : GetLastError());
  source.error = target.error;
  return ok != FALSE;
}

bool LocalFileSystem::Delete(FileEntry& entry) {
  const std::wstring path = SystemPath(entry.path);
  const BOOL ok = DeleteFileW(path.c_str());
  Record(entry, ok ? ERROR_SUCCESS : GetLastError());
  return ok != FALSE;
}

bool LocalFileSystem::Size(FileEntry& entry, uint64_t* size) {
  LARGE_INTEGER value;
  if (!entry.IsOpen() || !GetFileSizeEx(entry.handle, &value) || value.QuadPart < 0) {
    Record(entry, entry.IsOpen() ? GetLastError() : ERROR_INVALID_HANDLE);
    return false;
  }
  Record(entry, ERROR_SUCCESS);
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool LocalFileSystem::CreateFolders(std::string_view folder) {
  const std::wstring path = SystemPath(folder);
  const int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
  Record(static_cast<uint32_t>(result));
  if (result == ERROR_SUCCESS) return true;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> LocalFileSystem::ListFiles(std::string_view folder, std::string_view suffix) {
  std::vector<std::string> names;
  std::wstring pattern = SystemPath(folder);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found;
  ScopedFindHandle search(FindFirstFileW(pattern.c_str(), &found));
  if (!search) return names;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::string name = WideToUtf8(found.cFileName);
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(std::move(name));
  } while (FindNextFileW(search.get(), &found));
  return names;
}

std::string LocalFileSystem::ExecutablePath() {
  std::call_once(executable_once_, [this] {
    HMODULE self = GetModuleHandleW(nullptr);
    std::vector<wchar_t> buffer(260);
    for (;;) {
      const DWORD n = GetModuleFileNameW(self, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) {
        Record(GetLastError());
        return;
      }
      if (n < buffer.size()) {
        executable_path_ = ToLayerPath(WideToUtf8(std::wstring_view(buffer.data(), n)));
        Record(ERROR_SUCCESS);
        return;
      }
      buffer.resize(buffer.size() + 260);
    }
  });
  return executable_path_;
}

}  // namespace nelko
