#pragma once
// The files of one crash that the bug reporter is given, in order: the
// minidump first when it was written, then each attached file that exists
// (its copy in the crash folder, or its path as sent when copying failed).
#include <string>
#include <vector>

namespace nelko {

using AttachmentList = std::vector<std::wstring>;

}  // namespace nelko
