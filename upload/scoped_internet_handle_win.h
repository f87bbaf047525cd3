#pragma once
// Owner of a WinINet handle (session, connection or request): closed on
// every path.
#include <windows.h>
#include <wininet.h>

#include <utility>

namespace nelko {

class ScopedInternetHandle {
 public:
  ScopedInternetHandle() = default;
  explicit ScopedInternetHandle(HINTERNET h) : handle_(h) {}
  ScopedInternetHandle(const ScopedInternetHandle&) = delete;
  ScopedInternetHandle& operator=(const ScopedInternetHandle&) = delete;
  ~ScopedInternetHandle() { reset(); }

  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Gives up ownership without closing (for a handle closed elsewhere).
  HINTERNET release() {
    HINTERNET h = handle_;
    handle_ = nullptr;
    return h;
  }
  void reset(HINTERNET h = nullptr) {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
    handle_ = h;
  }

 private:
  HINTERNET handle_ = nullptr;
};

}  // namespace nelko
