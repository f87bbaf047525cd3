#pragma once
// Owner of a kernel handle: closed on every path. Both null and
// INVALID_HANDLE_VALUE count as no handle.
#include <windows.h>

#include <utility>

namespace nelko {

inline bool IsValidHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : handle_(h) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~ScopedHandle() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return IsValidHandle(handle_); }
  explicit operator bool() const { return valid(); }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  void reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (IsValidHandle(handle_)) CloseHandle(handle_);
    handle_ = h;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Owner of a loaded library: freed on every path.
class ScopedLibrary {
 public:
  ScopedLibrary() = default;
  explicit ScopedLibrary(HMODULE m) : module_(m) {}
  ScopedLibrary(const ScopedLibrary&) = delete;
  ScopedLibrary& operator=(const ScopedLibrary&) = delete;
  ~ScopedLibrary() { reset(); }
  HMODULE get() const { return module_; }
  explicit operator bool() const { return module_ != nullptr; }
  void reset(HMODULE m = nullptr) {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = m;
  }

 private:
  HMODULE module_ = nullptr;
};

}  // namespace nelko
