#include "ui/bug_reporter_win.h"

#include <windows.h>

#include <vector>

#include "base/diag_output.h"
#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "ui/bug_reporter_template.h"

namespace nelko {

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68, "the 32-bit start-up record is 68 bytes");

std::wstring BuildBugReporterCommandLine(const std::string& command_template, const SessionSettings& settings,
                                         const AttachmentList& files, const std::string& report_hash) {
  return ExpandBugReporterTemplate(command_template, settings, files, report_hash, &Utf8ToWide);
}

int LaunchBugReporter(const SessionSettings& settings, const AttachmentList& files,
                      const std::string& report_hash) {
  if (settings.bug_reporter_command.empty()) return 0;
  const std::wstring command_line =
      BuildBugReporterCommandLine(settings.bug_reporter_command, settings, files, report_hash);
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

}  // namespace nelko
