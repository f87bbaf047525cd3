#include "capture/process_crash_win.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

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

// Runs the pipeline's steps, each inside its own catch: a step that fails
// (for want of memory, say: a 32-bit handler copying settings of up to
// 2 GiB) writes one line, and the pipeline goes on with the next step.
class StepRunner {
 public:
  explicit StepRunner(std::vector<CrashStep> fail_at) : fail_at_(std::move(fail_at)) {}

  // Runs `body` as `step`; false when it failed. `what` completes "could
  // not ..." in the line.
  template <class Body>
  bool Run(CrashStep step, const char* what, Body&& body) {
    try {
      FailHereForTest(step);
      body();
      return true;
    } catch (const std::exception& e) {
      DiagPrintf("Crash handler could not %s: %s\n", what, e.what());
    } catch (...) {
      DiagPrintf("Crash handler could not %s: unknown exception\n", what);
    }
    return false;
  }

  void FailHereForTest(CrashStep step) {
    const auto at = std::find(fail_at_.begin(), fail_at_.end(), step);
    if (step == CrashStep::kNone || at == fail_at_.end()) return;
    fail_at_.erase(at);
    throw std::bad_alloc();
  }

 private:
  std::vector<CrashStep> fail_at_;
};

// Answers the engine once: its response event, or, after a fatal crash under
// --terminate, the end of the engine with the exception code. Made as soon as
// the block is known good, so that no failure after it leaves the engine
// waiting for an answer that never comes.
class EngineRelease {
 public:
  EngineRelease(HANDLE process, HANDLE response_event, bool terminate, DWORD exit_code)
      : process_(process), response_event_(response_event), terminate_(terminate), exit_code_(exit_code) {}
  ~EngineRelease() { Release(); }
  EngineRelease(const EngineRelease&) = delete;
  EngineRelease& operator=(const EngineRelease&) = delete;

  void Release() {
    if (released_) return;
    released_ = true;
    if (terminate_) {
      TerminateProcess(process_, exit_code_);
    } else {
      SetEvent(response_event_);
    }
  }

 private:
  HANDLE process_;
  HANDLE response_event_;
  bool terminate_;
  DWORD exit_code_;
  bool released_ = false;
};

bool ProcessEnded(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

// Copies one attached file into the crash folder, appending what the bug
// reporter gets for it to `attachments`.
void CopyAttachment(const AttachedFile& file, const std::wstring& folder, AttachmentList* attachments) {
  const std::wstring source = Utf8ToWide(file.path);
  const DWORD attributes = GetFileAttributesW(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    DiagPrintf("Failed to find file \"%s\"\n", file.path.c_str());
    return;
  }
  std::wstring turned = source;
  for (wchar_t& c : turned) {
    if (c == L'/') c = L'\\';
  }
  const size_t slash = turned.rfind(L'\\');
  const std::wstring name = slash == std::wstring::npos ? turned : turned.substr(slash + 1);
  // Without a folder (its step failed) the destination would be the root
  // of the current drive: no copy then.
  std::wstring destination = folder.empty() ? std::wstring() : folder + L"\\" + name;
  // With all numbered names taken there is no name left to copy to; the
  // copy then fails rather than replace one of them.
  if (!destination.empty() && IsExistingFile(destination)) destination = MakeUniquePath(destination);
  if (!destination.empty() &&
      CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
    attachments->push_back(destination);
  } else {
    DiagPrintf("Failed to copy \"%s\" to crash report folder at \"%s\"\n", file.path.c_str(),
               WideToUtf8(folder).c_str());
    attachments->push_back(source);
  }
}

// Walks every engine thread into the report, each in its own guard and its
// own step. An engine that ends meanwhile (killed from outside) has nothing
// more to walk: the report keeps what was walked.
void WalkThreads(StepRunner& steps, uint32_t process_id, HANDLE process,
                 const std::vector<ScopedHandle>& threads, uint32_t crashed_thread_id, CrashWalk& walk,
                 CrashReport& report, bool* end_reported) {
  uint32_t index = 0;
  for (const ScopedHandle& handle : threads) {
    if (ProcessEnded(process)) {
      DiagPrintf("Process PID %d ended while its crash was handled; %u of %u threads walked\n",
                 static_cast<int>(process_id), static_cast<unsigned>(index),
                 static_cast<unsigned>(threads.size()));
      *end_reported = true;
      return;
    }
    const DWORD thread_id = GetThreadId(handle.get());
    const uint32_t number = index++;
    steps.Run(CrashStep::kThreadWalk, "walk a thread into the report", [&] {
      Thread record;
      record.number = number;
      record.name = ThreadName(thread_id);
      record.crashed = thread_id == crashed_thread_id;
      // From the registers the thread has now: the block's context is the
      // crashing thread's at the fault, and serves the minidump only.
      if (!walk.WalkThread(handle.get(), record)) {
        DiagPrintf("Exception encountered during stack walk of thread %d\n", static_cast<int>(thread_id));
      }
      report.native_crash.AddThread(record);
    });
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

namespace {

// Steps 3 to 25 of a crash whose block was read and found good.
int32_t HandleValidCrash(StepRunner& steps, uint32_t process_id, HANDLE process, const CrashDataBlock& block,
                         const SessionSettings& settings, const std::vector<ScopedHandle>& threads,
                         bool wait_for_user, EngineRelease& release,
                         const CrashUserInterface& user_interface) {
  CrashFolder folder;
  steps.Run(CrashStep::kCrashFolder, "create the crash folder", [&] {
    folder = CreateCrashFolder(Utf8ToWide(settings.crash_report_path));
    if (!folder.created)
      DiagPrintf("Couldn't create crash dump directory: %s\n", WideToUtf8(folder.path).c_str());
  });

  CrashDialog* dialog = &NoDialog();
  steps.Run(CrashStep::kWindow, "show the crash window", [&] {
    if (user_interface.dialog != nullptr) dialog = &user_interface.dialog();
    if (settings.show_dialog) {
      const std::wstring exe_path = EngineExecutablePath(process);
      dialog->Show(exe_path.c_str(), Utf8ToWide(settings.app_name).c_str(),
                   Utf8ToWide(settings.info).c_str());
    }
  });
  auto progress = [&](int32_t percent) {
    steps.Run(CrashStep::kNone, "move the crash window's progress bar",
              [&] { dialog->SetProgress(percent); });
  };

  std::unique_ptr<CrashReport> report;
  steps.Run(CrashStep::kReport, "build the crash report",
            [&] { report = CreateReportFromSession(settings); });
  std::unique_ptr<CrashWalk> walk;
  steps.Run(CrashStep::kWalkSetup, "set up the stack walk",
            [&] { walk = std::make_unique<CrashWalk>(process, settings.mono_path, block.managedContext); });
  progress(20);

  AttachmentList attachments;
  steps.Run(CrashStep::kMinidump, "write the minidump", [&] {
    // No folder, no dump: an empty path fails to open and says so.
    const std::wstring minidump_path = folder.path.empty() ? std::wstring() : folder.path + L"\\crash.dmp";
    if (WriteMinidump(process, minidump_path, block.crashedThreadId, block.exceptionRecord, block.context)) {
      attachments.push_back(minidump_path);
    }
  });
  progress(40);

  steps.Run(CrashStep::kNone, "make a bare report for the editor", [&] {
    if (report || !settings.is_editor) return;
    // The editor sent no report metadata; its report still says that it
    // comes from the editor, as its crash hash (taken over the editor's own
    // modules) does.
    report = std::make_unique<CrashReport>();
    report->is_editor = true;
  });
  bool end_reported = false;
  if (report) {
    if (walk && steps.Run(CrashStep::kNone, "begin the report's native crash",
                          [&] { walk->BeginReport(*report, report->is_editor); })) {
      WalkThreads(steps, process_id, process, threads, block.crashedThreadId, *walk, *report, &end_reported);
    }
    bool cached = false;
    steps.Run(CrashStep::kCache, "cache the crash report", [&] { cached = CacheReport(*report); });
    if (!cached) DiagPrintf("Failed to cache crash report.\n");
  }
  progress(80);

  if (!end_reported && ProcessEnded(process)) {
    DiagPrintf("Process PID %d ended while its crash was handled\n", static_cast<int>(process_id));
  }
  release.Release();
  steps.FailHereForTest(CrashStep::kBetweenSteps);

  for (const AttachedFile& file : settings.attached_files) {
    steps.Run(CrashStep::kAttachments, "copy an attached file into the crash folder",
              [&] { CopyAttachment(file, folder.path, &attachments); });
  }
  progress(100);

  std::string hash;
  steps.Run(CrashStep::kHash, "compute the crash hash", [&] {
    if (report && report->hasNativeCrash) hash = report->native_crash.ComputeHash();
  });
  steps.Run(CrashStep::kAnalyticsFile, "update the analytics crash file",
            [&] { UpdateAnalyticsCrashFile(settings.analytics_crash_file_path, hash); });

  int launched = 0;
  steps.Run(CrashStep::kBugReporter, "start the bug reporter", [&] {
    if (!settings.bug_reporter_command.empty() && user_interface.launch_bug_reporter != nullptr) {
      launched = user_interface.launch_bug_reporter(settings, attachments, hash);
    }
  });

  steps.Run(CrashStep::kWindowEnd, "close the crash window", [&] {
    if (wait_for_user) {
      dialog->Finish();
    } else {
      dialog->Close();
    }
  });
  return block.fatal() ? launched : kSessionKeepWatching;
}

}  // namespace

int32_t ProcessCrash(uint32_t process_id, HANDLE process, uintptr_t shared_region_address,
                     SessionSettings& live_settings, bool terminate, bool wait_for_user,
                     HANDLE response_event, const CrashUserInterface& user_interface,
                     const CrashPipelineHooks* test_hooks) {
  StepRunner steps(test_hooks != nullptr ? test_hooks->fail_at : std::vector<CrashStep>());
  // The reader thread goes on applying commands during the crash; the run
  // works on one consistent copy taken under the command handler's lock. A
  // copy that fails part-way leaves the fields it did not reach as they
  // start, and the crash is handled with what was copied.
  SessionSettings settings;
  steps.Run(CrashStep::kSettingsCopy, "copy the session settings", [&] { live_settings.CopyTo(settings); });

  std::vector<ScopedHandle> threads;
  steps.Run(CrashStep::kThreadList, "list the engine's threads",
            [&] { threads = OpenEngineThreads(process_id); });

  // Owned by this run; every exit releases it, the thread handles last.
  CrashDataBlock block;
  const int32_t read = ReadCrashDataBlock(process, process_id, shared_region_address, &block);
  if (read != 0) return read;

  EngineRelease release(process, response_event, terminate && block.fatal(),
                        block.exceptionRecord.ExceptionCode);
  try {
    return HandleValidCrash(steps, process_id, process, block, settings, threads, wait_for_user, release,
                            user_interface);
  } catch (const std::exception& e) {
    DiagPrintf("Crash handler could not finish handling the crash: %s\n", e.what());
  } catch (...) {
    DiagPrintf("Crash handler could not finish handling the crash: unknown exception\n");
  }
  // The engine is answered as the release guard leaves this scope.
  return block.fatal() ? 0 : kSessionKeepWatching;
}

}  // namespace nelko
