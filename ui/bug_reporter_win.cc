#include "ui/bug_reporter_win.h"

#include <windows.h>

#include <exception>
#include <vector>

#include "base/diag_output.h"
#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "ui/bug_reporter_template.h"

namespace nelko {

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68, "the 32-bit start-up record is 68 bytes");

std::wstring BuildBugReporterCommandLine(const std::string& command_template, const SessionSettings& settings,
                                         const AttachmentList& files, const std::string& report_hash,
                                         bool* too_long) {
  return ExpandBugReporterTemplate(command_template, settings, files, report_hash, &Utf8ToWide, too_long);
}

namespace {

int Launch(const SessionSettings& settings, const AttachmentList& files, const std::string& report_hash) {
  bool too_long = false;
  const std::wstring command_line =
      BuildBugReporterCommandLine(settings.bug_reporter_command, settings, files, report_hash, &too_long);
  if (too_long) {
    DiagPrintf("Bug reporter not launched: its command line would be longer than %u characters\n",
               static_cast<unsigned>(kMaxCommandLineUnits));
    return 0;
  }
  DiagPrintf("Launching custom bug reporter with command line:\n  %s\n", WideToUtf8(command_line).c_str());

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION started{};
  // CreateProcessW may write into the command line.
  std::vector<wchar_t> buffer(command_line.begin(), command_line.end());
  buffer.push_back(L'\0');
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    DiagPrintf("Failed to launch bug reporter: \"%s\"", settings.bug_reporter_command.c_str());
    return 0;
  }
  // The reporter runs on its own; nothing here watches it.
  const ScopedHandle process(started.hProcess);
  const ScopedHandle thread(started.hThread);
  return 1;
}

}  // namespace

int LaunchBugReporter(const SessionSettings& settings, const AttachmentList& files,
                      const std::string& report_hash) {
  if (settings.bug_reporter_command.empty()) return 0;
  // The report is cached and the engine released by now; running out of
  // memory here must not end the handler with its window still open.
  try {
    return Launch(settings, files, report_hash);
  } catch (const std::exception&) {
    DiagPrintf("Bug reporter not launched: out of memory while building its command line\n");
    return 0;
  }
}

}  // namespace nelko
