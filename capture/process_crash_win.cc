#include "capture/process_crash_win.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <memory>
#include <string>

#include "base/diag_output.h"
#include "base/text_win.h"
#include "capture/attachment_list.h"
#include "capture/crash_folder_win.h"
#include "capture/crash_walk_win.h"
#include "capture/minidump_writer_win.h"
#include "capture/read_crash_data_block_win.h"
#include "client/protocol.h"
#include "report/analytics_file.h"
#include "report/crash_report.h"
#include "report/report_cache_win.h"
#include "report/thread.h"

namespace nelko {
namespace {

// THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION.
constexpr DWORD kThreadAccess = 0x004A;
// The smallest entry whose owner-process field is valid.
constexpr DWORD kThreadEntryOwnerEnd = 16;
constexpr DWORD kExePathCapacity = 2048;

std::wstring EngineExecutablePath(HANDLE process) {
  std::wstring path(kExePathCapacity, L'\0');
  const DWORD n = K32GetModuleFileNameExW(process, nullptr, path.data(), kExePathCapacity);
  path.resize(n < kExePathCapacity ? n : 0);
  return path;
}

// Copies the attached files into the crash folder, appending what the bug
// reporter gets for each to `attachments`.
void CopyAttachments(const SessionSettings& settings, const std::wstring& folder,
                     AttachmentList* attachments) {
  for (const AttachedFile& file : settings.attached_files) {
    const std::wstring source = Utf8ToWide(file.path);
    const DWORD attributes = GetFileAttributesW(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      DiagPrintf("Failed to find file \"%s\"\n", file.path.c_str());
      continue;
    }
    std::wstring turned = source;
    for (wchar_t& c : turned) {
      if (c == L'/') c = L'\\';
    }
    const size_t slash = turned.rfind(L'\\');
    const std::wstring name = slash == std::wstring::npos ? turned : turned.substr(slash + 1);
    std::wstring destination = folder + L"\\" + name;
    // With all numbered names taken there is no name left to copy to; the
    // copy then fails rather than replace one of them.
    if (IsExistingFile(destination)) destination = MakeUniquePath(destination);
    if (!destination.empty() && CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr,
                                            COPY_FILE_FAIL_IF_EXISTS)) {
      attachments->push_back(destination);
    } else {
      DiagPrintf("Failed to copy \"%s\" to crash report folder at \"%s\"\n", file.path.c_str(),
                 WideToUtf8(folder).c_str());
      attachments->push_back(source);
    }
  }
}

// Walks every engine thread into the report, each in its own guard.
void WalkThreads(const std::vector<ScopedHandle>& threads, uint32_t crashed_thread_id, CrashWalk& walk,
                 CrashReport& report) {
  uint32_t index = 0;
  for (const ScopedHandle& handle : threads) {
    const DWORD thread_id = GetThreadId(handle.get());
    Thread record;
    record.number = index++;
    record.name = ThreadName(thread_id);
    record.crashed = thread_id == crashed_thread_id;
    // From the registers the thread has now: the block's context is the
    // crashing thread's at the fault, and serves the minidump only.
    if (!walk.WalkThread(handle.get(), record)) {
      DiagPrintf("Exception encountered during stack walk of thread %d\n", static_cast<int>(thread_id));
    }
    report.native_crash.AddThread(record);
  }
}

}  // namespace

std::vector<ScopedHandle> OpenEngineThreads(uint32_t process_id) {
  std::vector<ScopedHandle> threads;
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot.valid()) return threads;
  const bool is_self = process_id == GetCurrentProcessId();
  const DWORD self_thread = GetCurrentThreadId();
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       entry.dwSize = sizeof(entry), more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.dwSize < kThreadEntryOwnerEnd || entry.th32OwnerProcessID != process_id) continue;
    if (is_self && entry.th32ThreadID == self_thread) continue;
    ScopedHandle thread(OpenThread(kThreadAccess, FALSE, entry.th32ThreadID));
    if (thread.valid()) threads.push_back(std::move(thread));
  }
  return threads;
}

namespace {

// Without a user interface: a window that is never shown, so every
// operation after Show does nothing, as for a window that was never shown.
class HiddenDialog : public CrashDialog {
 public:
  bool Show(const wchar_t*, const wchar_t*, const wchar_t*) override { return false; }
  bool Close() override { return false; }
  bool IsOpen() override { return false; }
  void SetProgress(int32_t) override {}
  bool Finish() override { return false; }
};

CrashDialog& NoDialog() {
  static HiddenDialog dialog;
  return dialog;
}

}  // namespace

int32_t ProcessCrash(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                     SessionSettings& live_settings, bool terminate, bool wait_for_user,
                     HANDLE response_event, const CrashUserInterface& user_interface) {
  // The reader thread goes on applying commands during the crash; the run
  // works on one consistent copy taken under the command handler's lock.
  SessionSettings settings;
  live_settings.CopyTo(settings);

  const std::vector<ScopedHandle> threads = OpenEngineThreads(process_id);

  // Owned by this run; every exit releases it, the thread handles last.
  CrashDataBlock block;
  const int32_t read = ReadCrashDataBlock(process, process_id, shared_region_address, &block);
  if (read != 0) return read;

  const CrashFolder folder = CreateCrashFolder(Utf8ToWide(settings.crash_report_path));
  if (!folder.created)
    DiagPrintf("Couldn't create crash dump directory: %s\n", WideToUtf8(folder.path).c_str());

  const std::wstring exe_path = EngineExecutablePath(process);
  CrashDialog& dialog = user_interface.dialog != nullptr ? user_interface.dialog() : NoDialog();
  if (settings.show_dialog) {
    dialog.Show(exe_path.c_str(), Utf8ToWide(settings.app_name).c_str(), Utf8ToWide(settings.info).c_str());
  }

  const std::wstring minidump_path = folder.path + L"\\crash.dmp";
  std::unique_ptr<CrashReport> report = CreateReportFromSession(settings);
  AttachmentList attachments;
  CrashWalk walk(process, settings.mono_path, block.managedContext);
  dialog.SetProgress(20);

  if (WriteMinidump(process, minidump_path, block.crashedThreadId, block.exceptionRecord, block.context)) {
    attachments.push_back(minidump_path);
  }
  dialog.SetProgress(40);

  if (!report && settings.is_editor) report = std::make_unique<CrashReport>();
  if (report) {
    walk.BeginReport(*report, settings.is_editor);
    WalkThreads(threads, block.crashedThreadId, walk, *report);
    if (!CacheReport(*report)) DiagPrintf("Failed to cache crash report.\n");
  }
  dialog.SetProgress(80);

  if (terminate && block.fatal()) {
    TerminateProcess(process, block.exceptionRecord.ExceptionCode);
  } else {
    SetEvent(response_event);
  }

  CopyAttachments(settings, folder.path, &attachments);
  dialog.SetProgress(100);

  const std::string hash =
      report && report->hasNativeCrash ? report->native_crash.ComputeHash() : std::string();
  UpdateAnalyticsCrashFile(settings.analytics_crash_file_path, hash);

  const int launched = settings.bug_reporter_command.empty() || user_interface.launch_bug_reporter == nullptr
                           ? 0
                           : user_interface.launch_bug_reporter(settings, attachments, hash);

  if (wait_for_user) {
    dialog.Finish();
  } else {
    dialog.Close();
  }
  return block.fatal() ? launched : kSessionKeepWatching;
}

}  // namespace nelko
