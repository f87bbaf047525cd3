// PLACEHOLDER: a launcher that starts nothing, until ui/ lands.
#include "capture/bug_reporter_placeholder_win.h"

namespace nelko {

int LaunchBugReporter(const SessionSettings&, const AttachmentList&, const std::string&) { return 0; }

}  // namespace nelko
