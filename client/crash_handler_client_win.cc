#include "client/crash_handler_client_win.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "client/message_encoding.h"

namespace nelko::client {
namespace {

constexpr uint64_t kCrashBlockMagic = 0x4E656C6B6F434803ull;

void Close(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

HANDLE CreateNamedEvent(const wchar_t* format, DWORD pid) {
  wchar_t name[256];
  std::swprintf(name, 256, format, static_cast<unsigned>(pid));
  return CreateEventW(nullptr, FALSE, FALSE, name);
}

// The handler takes the block's address as a 32-bit number, so a 64-bit
// engine must place the block below 4 GiB.
unsigned char* AllocateLowBlock() {
  void* p = VirtualAlloc(nullptr, kCrashDataBlockSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p != nullptr && reinterpret_cast<uintptr_t>(p) <= 0xFFFFFFFFu) return static_cast<unsigned char*>(p);
  if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
  for (uintptr_t at = 0x10000000; at < 0xFFFF0000u; at += 0x01000000) {
    p = VirtualAlloc(reinterpret_cast<void*>(at), kCrashDataBlockSize, MEM_RESERVE | MEM_COMMIT,
                     PAGE_READWRITE);
    if (p != nullptr) return static_cast<unsigned char*>(p);
  }
  return nullptr;
}

std::wstring QuoteArgument(const std::wstring& text) { return L"\"" + text + L"\""; }

void Put32(unsigned char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

CrashHandlerClient::CrashHandlerClient() = default;

CrashHandlerClient::~CrashHandlerClient() {
  Close(pipe_);
  Close(process_);
  Close(crash_event_);
  Close(response_event_);
  Close(termination_event_);
  if (block_ != nullptr) VirtualFree(block_, 0, MEM_RELEASE);
}

bool CrashHandlerClient::Start(const std::wstring& handler_path, const StartOptions& options) {
  const DWORD pid = GetCurrentProcessId();
  crash_event_ = CreateNamedEvent(L"NelkoCrashHandler_%u", pid);
  response_event_ = CreateNamedEvent(L"NelkoCrashHandlerResp_%u", pid);
  termination_event_ = CreateNamedEvent(L"NelkoCrashHandlerTerm_%u", pid);
  block_ = AllocateLowBlock();
  if (crash_event_ == nullptr || response_event_ == nullptr || termination_event_ == nullptr ||
      block_ == nullptr) {
    return false;
  }
  std::memset(block_, 0, kCrashDataBlockSize);

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr;
  if (!CreatePipe(&read_end, &pipe_, &inherit, 0)) return false;
  SetHandleInformation(pipe_, HANDLE_FLAG_INHERIT, 0);  // only the read end goes to the handler

  std::wstring line = QuoteArgument(handler_path) + L" --attach " + std::to_wstring(pid) + L" " +
                      std::to_wstring(crash_data_block_address());
  if (options.terminate) line += L" --terminate";
  if (options.wait_for_user) line += L" --wait-for-user";
  for (const std::wstring& a : options.extra_arguments) line += L" " + a;

  HANDLE output = options.output != nullptr ? options.output : GetStdHandle(STD_OUTPUT_HANDLE);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = read_end;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info = {};
  const BOOL ok =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
  CloseHandle(read_end);
  if (!ok) return false;
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  handler_pid_ = info.dwProcessId;
  return true;
}

uint32_t CrashHandlerClient::crash_data_block_address() const {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block_));
}

void CrashHandlerClient::FillCrashDataBlock(uint32_t crashed_thread_id, uint32_t exception_code, bool fatal) {
  if (block_ == nullptr) return;
  std::memset(block_, 0, kCrashDataBlockSize);
  for (int i = 0; i < 8; ++i) block_[i] = static_cast<unsigned char>(kCrashBlockMagic >> (8 * i));
  Put32(block_ + 0x008, GetCurrentProcessId());
  Put32(block_ + 0x00C, crashed_thread_id);
  Put32(block_ + 0x010, static_cast<uint32_t>(kCrashDataBlockSize));
  Put32(block_ + 0x020, exception_code);
  block_[0x33C] = fatal ? 1 : 0;
}

bool CrashHandlerClient::Write(const std::string& bytes) {
  if (pipe_ == nullptr || bytes.empty()) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    if (!WriteFile(pipe_, bytes.data() + done, want, &wrote, nullptr)) return false;
    done += wrote;
  }
  return true;
}

bool CrashHandlerClient::SendCommand(const std::vector<std::string_view>& strings) {
  scratch_.clear();
  if (!AppendMessage(scratch_, strings)) return false;
  return Write(scratch_);
}

bool CrashHandlerClient::SendRaw(const void* data, size_t size) {
  return Write(std::string(static_cast<const char*>(data), size));
}

bool CrashHandlerClient::AddFile(std::string_view path, std::string_view description) {
  return SendCommand({"AddFile", path, description});
}
bool CrashHandlerClient::RemoveFile(std::string_view path) { return SendCommand({"RemoveFile", path}); }
bool CrashHandlerClient::SetIsEditor(bool is_editor) {
  return SendCommand({"SetIsEditor", is_editor ? "true" : "false"});
}
bool CrashHandlerClient::SetMetaData(std::string_view key, std::string_view value) {
  return SendCommand({"SetMetaData", key, value});
}
bool CrashHandlerClient::SetUserMetaData(std::string_view key, std::string_view value) {
  return SendCommand({"SetUserMetaData", key, value});
}
bool CrashHandlerClient::SetAppName(std::string_view name) { return SendCommand({"SetAppName", name}); }
bool CrashHandlerClient::SetVendor(std::string_view vendor) { return SendCommand({"SetVendor", vendor}); }
bool CrashHandlerClient::SetInfo(std::string_view info) { return SendCommand({"SetInfo", info}); }
bool CrashHandlerClient::SetShowDialog(bool show) {
  return SendCommand({"SetShowDialog", show ? "true" : "false"});
}
bool CrashHandlerClient::SetBugReporterAppPath(std::string_view command_template) {
  return SendCommand({"SetBugReporterAppPath", command_template});
}
bool CrashHandlerClient::SetCrashReportPath(std::string_view path) {
  return SendCommand({"SetCrashReportPath", path});
}
bool CrashHandlerClient::SetAnalyticsCrashFilePath(std::string_view path) {
  return SendCommand({"SetAnalyticsCrashFilePath", path});
}
bool CrashHandlerClient::SetMonoPath(std::string_view path) { return SendCommand({"SetMonoPath", path}); }
bool CrashHandlerClient::SetLogBufferSize(uint32_t records) {
  const std::string n = std::to_string(records);
  return SendCommand({"SetLogBufferSize", n});
}
bool CrashHandlerClient::RecordLogMessage(std::string_view message, uint64_t timestamp, int32_t framecount,
                                          int32_t type) {
  char numbers[3][24];
  std::snprintf(numbers[0], sizeof(numbers[0]), "%llu", static_cast<unsigned long long>(timestamp));
  std::snprintf(numbers[1], sizeof(numbers[1]), "%ld", static_cast<long>(framecount));
  std::snprintf(numbers[2], sizeof(numbers[2]), "%ld", static_cast<long>(type));
  return SendCommand({"RecordLogMessage", message, numbers[0], numbers[1], numbers[2]});
}

bool CrashHandlerClient::SignalCrashAndWait(DWORD timeout_ms) {
  if (crash_event_ == nullptr || !SetEvent(crash_event_)) return false;
  return WaitForSingleObject(response_event_, timeout_ms) == WAIT_OBJECT_0;
}

bool CrashHandlerClient::SignalTermination() {
  return termination_event_ != nullptr && SetEvent(termination_event_);
}

void CrashHandlerClient::ClosePipe() { Close(pipe_); }

}  // namespace nelko::client
