#include "capture/crash_stack_walker_win.h"

#include <string>

#include "base/text_win.h"

namespace nelko {

void CrashStackWalker::OnCallstackEntry(CallstackEventType type, CallstackEntry& entry) {
  NativeStackWalker::OnCallstackEntry(type, entry);
  if (type != CallstackEventType::kLastEntry && receiver_ != nullptr) receiver_->OnEntry(entry);
}

void CrashStackWalker::OnDbgHelpErr(const char* function, DWORD error, uint64_t address) {
  if (receiver_ == nullptr) return;
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n > 0 && buffer != nullptr) {
    std::wstring message(buffer, n);
    const size_t dot = message.find(L'.');
    if (dot != std::wstring::npos) message.resize(dot + 1);
    text = WideToUtf8(message);
  }
  if (buffer != nullptr) LocalFree(buffer);
  receiver_->OnError(function, text, address);
}

void CrashStackWalker::OnOutput(const char* text) {
  if (receiver_ != nullptr) receiver_->OnText(text);
}

bool CrashStackWalker::ResolveSpecialFrame(uintptr_t address, CallstackEntry& entry) {
  return reader_ != nullptr && reader_->ResolveFrame(address, entry);
}

}  // namespace nelko
