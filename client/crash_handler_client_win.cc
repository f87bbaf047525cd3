#include "client/crash_handler_client_win.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "client/message_encoding.h"

namespace nelko::client {
namespace {

ScopedHandle CreateNamedEvent(const wchar_t* format, DWORD pid) {
  wchar_t name[kEventNameCapacity];
  std::swprintf(name, kEventNameCapacity, format, static_cast<unsigned>(pid));
  return ScopedHandle(CreateEventW(nullptr, FALSE, FALSE, name));
}

// The handler takes the block's address as a 32-bit number, so a 64-bit
// engine must place the block below 4 GiB.
void* AllocateLowBlock() {
  ScopedVirtualMemory any(VirtualAlloc(nullptr, kCrashBlockSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (any.get() != nullptr && reinterpret_cast<uintptr_t>(any.get()) <= 0xFFFFFFFFu) return any.release();
  any.reset();
  for (uintptr_t at = 0x10000000; at < 0xFFFF0000u; at += 0x01000000) {
    void* p =
        VirtualAlloc(reinterpret_cast<void*>(at), kCrashBlockSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p != nullptr) return p;
  }
  return nullptr;
}

std::wstring QuoteArgument(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

CrashHandlerClient::CrashHandlerClient() = default;
CrashHandlerClient::~CrashHandlerClient() = default;

bool CrashHandlerClient::Start(const std::wstring& handler_path, const StartOptions& options) {
  // One handler per client: a second start would leak the first's handles
  // and leave its handler watching an engine that no longer talks to it.
  if (process_.valid() || pipe_.valid()) return false;
  const DWORD pid = GetCurrentProcessId();
  crash_event_ = CreateNamedEvent(kCrashEventNameFormat, pid);
  response_event_ = CreateNamedEvent(kResponseEventNameFormat, pid);
  termination_event_ = CreateNamedEvent(kTerminationEventNameFormat, pid);
  if (block_.get() == nullptr) block_.reset(AllocateLowBlock());
  if (!crash_event_ || !response_event_ || !termination_event_ || block_.get() == nullptr) return false;
  std::memset(block_.get(), 0, kCrashBlockSize);

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_handle = nullptr;
  HANDLE write_handle = nullptr;
  if (!CreatePipe(&read_handle, &write_handle, &inherit, 0)) return false;
  ScopedHandle read_end(read_handle);
  ScopedHandle write_end(write_handle);
  SetHandleInformation(write_end.get(), HANDLE_FLAG_INHERIT, 0);  // only the read end goes to the handler

  std::wstring line = QuoteArgument(handler_path) + L" --attach " + std::to_wstring(pid) + L" " +
                      std::to_wstring(crash_data_block_address());
  if (options.terminate) line += L" --terminate";
  if (options.wait_for_user) line += L" --wait-for-user";
  for (const std::wstring& a : options.extra_arguments) line += L" " + a;

  HANDLE output = options.output != nullptr ? options.output : GetStdHandle(STD_OUTPUT_HANDLE);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = read_end.get();
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
    return false;
  ScopedHandle thread(info.hThread);
  process_.reset(info.hProcess);
  handler_pid_ = info.dwProcessId;
  pipe_ = std::move(write_end);
  return true;
}

uint32_t CrashHandlerClient::crash_data_block_address() const {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block_.get()));
}

void CrashHandlerClient::FillCrashDataBlock(uint32_t crashed_thread_id, uint32_t exception_code, bool fatal,
                                            const EXCEPTION_RECORD* record, const CONTEXT* context) {
  CrashDataBlock* block = crash_data_block();
  if (block == nullptr) return;
  std::memset(block, 0, sizeof(*block));
  block->magic = kCrashBlockMagic;
  block->pid = GetCurrentProcessId();
  block->crashedThreadId = crashed_thread_id;
  block->size = kCrashBlockSize;
  block->managedContext = managed_context_;
  if (record != nullptr) {
    block->exceptionRecord = *record;
  } else {
    block->exceptionRecord.ExceptionCode = exception_code;
  }
  if (context != nullptr) block->context = *context;
  block->flags = fatal ? kCrashBlockFatal : 0;
}

bool CrashHandlerClient::Write(const std::string& bytes) {
  if (!pipe_.valid() || bytes.empty()) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    // A write that reports success with nothing written would repeat for
    // ever: count it as a failure.
    if (!WriteFile(pipe_.get(), bytes.data() + done, want, &wrote, nullptr) || wrote == 0) return false;
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
  return SendCommand({command::kAddFile, path, description});
}
bool CrashHandlerClient::RemoveFile(std::string_view path) {
  return SendCommand({command::kRemoveFile, path});
}
bool CrashHandlerClient::SetIsEditor(bool is_editor) {
  return SendCommand({command::kSetIsEditor, is_editor ? "true" : "false"});
}
bool CrashHandlerClient::SetMetaData(std::string_view key, std::string_view value) {
  return SendCommand({command::kSetMetaData, key, value});
}
bool CrashHandlerClient::SetUserMetaData(std::string_view key, std::string_view value) {
  return SendCommand({command::kSetUserMetaData, key, value});
}
bool CrashHandlerClient::SetAppName(std::string_view name) {
  return SendCommand({command::kSetAppName, name});
}
bool CrashHandlerClient::SetVendor(std::string_view vendor) {
  return SendCommand({command::kSetVendor, vendor});
}
bool CrashHandlerClient::SetInfo(std::string_view info) { return SendCommand({command::kSetInfo, info}); }
bool CrashHandlerClient::SetShowDialog(bool show) {
  return SendCommand({command::kSetShowDialog, show ? "true" : "false"});
}
bool CrashHandlerClient::SetBugReporterAppPath(std::string_view command_template) {
  return SendCommand({command::kSetBugReporterAppPath, command_template});
}
bool CrashHandlerClient::SetCrashReportPath(std::string_view path) {
  return SendCommand({command::kSetCrashReportPath, path});
}
bool CrashHandlerClient::SetAnalyticsCrashFilePath(std::string_view path) {
  return SendCommand({command::kSetAnalyticsCrashFilePath, path});
}
bool CrashHandlerClient::SetMonoPath(std::string_view path) {
  return SendCommand({command::kSetMonoPath, path});
}
bool CrashHandlerClient::SetLogBufferSize(uint32_t records) {
  const std::string n = std::to_string(records);
  return SendCommand({command::kSetLogBufferSize, n});
}
bool CrashHandlerClient::RecordLogMessage(std::string_view message, uint64_t timestamp, int32_t framecount,
                                          int32_t type) {
  char numbers[3][24];
  std::snprintf(numbers[0], sizeof(numbers[0]), "%llu", static_cast<unsigned long long>(timestamp));
  std::snprintf(numbers[1], sizeof(numbers[1]), "%ld", static_cast<long>(framecount));
  std::snprintf(numbers[2], sizeof(numbers[2]), "%ld", static_cast<long>(type));
  return SendCommand({command::kRecordLogMessage, message, numbers[0], numbers[1], numbers[2]});
}

bool CrashHandlerClient::SignalCrashAndWait(DWORD timeout_ms) {
  if (!crash_event_ || !SetEvent(crash_event_.get())) return false;
  return WaitForSingleObject(response_event_.get(), timeout_ms) == WAIT_OBJECT_0;
}

bool CrashHandlerClient::SignalTermination() {
  return termination_event_ && SetEvent(termination_event_.get());
}

void CrashHandlerClient::ClosePipe() { pipe_.reset(); }

}  // namespace nelko::client
