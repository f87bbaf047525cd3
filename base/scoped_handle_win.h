#pragma once
// Owners of Win32 resources: each is released on every path. For handles,
// both null and INVALID_HANDLE_VALUE count as no handle.
#include <windows.h>

#include <cstddef>
#include <utility>

namespace nelko {

inline bool IsValidHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// A handle closed by Traits::Close.
template <class Traits>
class BasicScopedHandle {
 public:
  BasicScopedHandle() = default;
  explicit BasicScopedHandle(HANDLE h) : handle_(h) {}
  BasicScopedHandle(const BasicScopedHandle&) = delete;
  BasicScopedHandle& operator=(const BasicScopedHandle&) = delete;
  BasicScopedHandle(BasicScopedHandle&& other) noexcept : handle_(other.release()) {}
  BasicScopedHandle& operator=(BasicScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~BasicScopedHandle() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return IsValidHandle(handle_); }
  explicit operator bool() const { return valid(); }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  void reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (IsValidHandle(handle_)) Traits::Close(handle_);
    handle_ = h;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

struct KernelHandleTraits {
  static void Close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
  static void Close(HANDLE h) { FindClose(h); }
};

// A kernel object: process, thread, event, file, pipe, job.
using ScopedHandle = BasicScopedHandle<KernelHandleTraits>;
// A FindFirstFileW search.
using ScopedFindHandle = BasicScopedHandle<FindHandleTraits>;

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
  HMODULE release() { return std::exchange(module_, nullptr); }
  void reset(HMODULE m = nullptr) {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = m;
  }

 private:
  HMODULE module_ = nullptr;
};

// Memory the system allocated for the caller with LocalAlloc (for example
// CommandLineToArgvW's vector).
template <class T>
class ScopedLocalMemory {
 public:
  ScopedLocalMemory() = default;
  explicit ScopedLocalMemory(T* p) : p_(p) {}
  ScopedLocalMemory(const ScopedLocalMemory&) = delete;
  ScopedLocalMemory& operator=(const ScopedLocalMemory&) = delete;
  ~ScopedLocalMemory() {
    if (p_ != nullptr) LocalFree(p_);
  }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

// Pages from VirtualAlloc.
class ScopedVirtualMemory {
 public:
  ScopedVirtualMemory() = default;
  explicit ScopedVirtualMemory(void* p) : p_(p) {}
  ScopedVirtualMemory(const ScopedVirtualMemory&) = delete;
  ScopedVirtualMemory& operator=(const ScopedVirtualMemory&) = delete;
  ~ScopedVirtualMemory() { reset(); }
  void* get() const { return p_; }
  void* release() { return std::exchange(p_, nullptr); }
  void reset(void* p = nullptr) {
    if (p_ != nullptr) VirtualFree(p_, 0, MEM_RELEASE);
    p_ = p;
  }

 private:
  void* p_ = nullptr;
};

// A critical section, initialised and deleted with its owner.
class ScopedCriticalSection {
 public:
  ScopedCriticalSection() { InitializeCriticalSection(&section_); }
  ~ScopedCriticalSection() { DeleteCriticalSection(&section_); }
  ScopedCriticalSection(const ScopedCriticalSection&) = delete;
  ScopedCriticalSection& operator=(const ScopedCriticalSection&) = delete;
  CRITICAL_SECTION* get() { return &section_; }

 private:
  CRITICAL_SECTION section_;
};

// Holds a critical section for its scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(ScopedCriticalSection& section) : section_(section.get()) {
    EnterCriticalSection(section_);
  }
  ~CriticalSectionLock() { LeaveCriticalSection(section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

}  // namespace nelko
