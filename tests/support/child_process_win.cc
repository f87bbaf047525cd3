#include "tests/support/child_process_win.h"

#include <vector>

namespace nelko::test {

std::wstring SiblingPath(std::wstring_view file_name) {
  std::vector<wchar_t> buffer(32768);
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), n);
  const size_t slash = path.find_last_of(L"\\/");
  path.resize(slash == std::wstring::npos ? 0 : slash + 1);
  path += file_name;
  return path;
}

std::wstring Quote(std::wstring_view text) {
  std::wstring out = L"\"";
  out += text;
  out += L"\"";
  return out;
}

ChildProcess::~ChildProcess() {
  if (process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) Kill();
  CloseInput();
  if (reader_ != nullptr) {
    // A grandchild may still hold the output pipe; do not hang the test on it.
    if (WaitForSingleObject(reader_, 5000) != WAIT_OBJECT_0) {
      CancelSynchronousIo(reader_);
      WaitForSingleObject(reader_, 5000);
    }
    CloseHandle(reader_);
  }
  if (output_ != nullptr) CloseHandle(output_);
  if (process_ != nullptr) CloseHandle(process_);
}

bool ChildProcess::Start(const std::wstring& command_line) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr;
  if (!CreatePipe(&child_in, &input_, &inherit, 0)) return false;
  if (!CreatePipe(&output_, &child_out, &inherit, 0)) {
    CloseHandle(child_in);
    return false;
  }
  // Our ends stay in this process only.
  SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = child_out;
  PROCESS_INFORMATION info = {};
  std::wstring line = command_line;
  const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
  CloseHandle(child_in);
  CloseHandle(child_out);
  if (!ok) return false;
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
  reader_ = CreateThread(nullptr, 0, &ChildProcess::ReaderMain, this, 0, nullptr);
  return true;
}

DWORD WINAPI ChildProcess::ReaderMain(void* self) {
  static_cast<ChildProcess*>(self)->ReadOutput();
  return 0;
}

void ChildProcess::ReadOutput() {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(output_, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    output_text_.append(buffer, got);
  }
}

bool ChildProcess::WriteInput(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
    if (!WriteFile(input_, p, chunk, &written, nullptr)) return false;
    p += written;
    size -= written;
  }
  return true;
}

void ChildProcess::CloseInput() {
  if (input_ != nullptr) {
    CloseHandle(input_);
    input_ = nullptr;
  }
}

bool ChildProcess::Wait(DWORD timeout_ms) {
  return process_ != nullptr && WaitForSingleObject(process_, timeout_ms) == WAIT_OBJECT_0;
}

uint32_t ChildProcess::ExitCode() const {
  DWORD code = 0;
  if (process_ == nullptr || !GetExitCodeProcess(process_, &code)) return 0xFFFFFFFFu;
  return code;
}

std::string ChildProcess::Output(DWORD timeout_ms) {
  if (reader_ != nullptr) WaitForSingleObject(reader_, timeout_ms);
  std::lock_guard<std::mutex> lock(mutex_);
  return output_text_;
}

bool ChildProcess::WaitForOutput(std::string_view text, DWORD timeout_ms) {
  const ULONGLONG end = GetTickCount64() + timeout_ms;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (output_text_.find(text) != std::string::npos) return true;
    }
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

void ChildProcess::Kill() {
  if (process_ != nullptr) {
    TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, 5000);
  }
}

ChildResult RunChild(const std::wstring& command_line, std::string_view input, DWORD timeout_ms) {
  ChildResult result;
  ChildProcess child;
  if (!child.Start(command_line)) return result;
  result.started = true;
  if (!input.empty()) child.WriteInput(input);
  child.CloseInput();
  if (!child.Wait(timeout_ms)) {
    result.timed_out = true;
    child.Kill();
  }
  result.exit_code = child.ExitCode();
  result.output = child.Output();
  return result;
}

}  // namespace nelko::test
