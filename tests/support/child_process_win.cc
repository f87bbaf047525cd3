#include "tests/support/child_process_win.h"

#include <winternl.h>

#include <vector>

#include "tests/support/time_scale.h"

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
  if (job_ != nullptr) {
    TerminateJobObject(job_, 0xDEAD);
    CloseHandle(job_);
  }
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

bool ChildProcess::Start(const std::wstring& command_line, bool in_job) {
  if (in_job) {
    job_ = CreateJobObjectW(nullptr, nullptr);
    if (job_ == nullptr) return false;
  }
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
  const DWORD flags = in_job ? CREATE_SUSPENDED : 0;
  const BOOL ok =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &info);
  CloseHandle(child_in);
  CloseHandle(child_out);
  if (!ok) return false;
  if (in_job) {
    AssignProcessToJobObject(job_, info.hProcess);
    ResumeThread(info.hThread);
  }
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
  return process_ != nullptr && WaitForSingleObject(process_, Scaled(timeout_ms)) == WAIT_OBJECT_0;
}

uint32_t ChildProcess::ExitCode() const {
  DWORD code = 0;
  if (process_ == nullptr || !GetExitCodeProcess(process_, &code)) return 0xFFFFFFFFu;
  return code;
}

std::string ChildProcess::Output(DWORD timeout_ms) {
  if (reader_ != nullptr && process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
    // Everything the ended child wrote is in the pipe by now. A process it
    // started may hold the pipe open for long after (Wine starts its desktop
    // process from the first program that needs one, and that one inherits
    // the pipe), so reading stops once the pipe is empty, not at its end.
    const ULONGLONG end = GetTickCount64() + Scaled(timeout_ms);
    while (WaitForSingleObject(reader_, 50) == WAIT_TIMEOUT && GetTickCount64() < end) {
      DWORD available = 0;
      if (PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr) && available == 0) {
        CancelSynchronousIo(reader_);
      }
    }
  } else if (reader_ != nullptr) {
    WaitForSingleObject(reader_, Scaled(timeout_ms));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return output_text_;
}

bool ChildProcess::WaitForOutput(std::string_view text, DWORD timeout_ms) {
  const ULONGLONG end = GetTickCount64() + Scaled(timeout_ms);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (output_text_.find(text) != std::string::npos) return true;
    }
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

std::string ChildProcess::OutputSoFar() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_text_;
}

void ChildProcess::Kill() {
  if (process_ != nullptr) {
    TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, 5000);
  }
}

uint32_t ChildProcess::JobTotalProcesses() const {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
  if (job_ == nullptr ||
      !QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &info, sizeof(info), nullptr)) {
    return 0;
  }
  return info.TotalProcesses;
}

std::vector<DWORD> ChildProcess::JobProcessIds() const {
  std::vector<DWORD> ids;
  if (job_ == nullptr) return ids;
  // Room for far more processes than any test starts.
  std::vector<char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 64 * sizeof(ULONG_PTR));
  auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
  if (!QueryInformationJobObject(job_, JobObjectBasicProcessIdList, list, static_cast<DWORD>(buffer.size()),
                                 nullptr)) {
    return ids;
  }
  for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i)
    ids.push_back(static_cast<DWORD>(list->ProcessIdList[i]));
  return ids;
}

std::wstring ReadProcessCommandLine(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return std::wstring();
  std::wstring line;
  using QueryProcess = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<QueryProcess>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION basic = {};
  PEB peb = {};
  RTL_USER_PROCESS_PARAMETERS params = {};
  if (query != nullptr && query(process, ProcessBasicInformation, &basic, sizeof(basic), nullptr) >= 0 &&
      ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof(peb), nullptr) &&
      ReadProcessMemory(process, peb.ProcessParameters, &params, sizeof(params), nullptr)) {
    line.resize(params.CommandLine.Length / sizeof(wchar_t));
    if (!ReadProcessMemory(process, params.CommandLine.Buffer, line.data(), params.CommandLine.Length,
                           nullptr)) {
      line.clear();
    }
  }
  CloseHandle(process);
  return line;
}

ChildResult RunChild(const std::wstring& command_line, std::string_view input, DWORD timeout_ms) {
  ChildResult result;
  ChildProcess child;
  if (!child.Start(command_line)) {
    const DWORD error = GetLastError();
    std::string line(command_line.size(), '?');
    for (size_t i = 0; i < line.size(); ++i) {
      if (command_line[i] < 0x80) line[i] = static_cast<char>(command_line[i]);
    }
    result.output = "could not start (error " + std::to_string(error) + "): " + line;
    return result;
  }
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
