#pragma once
// The files handed to a custom bug reporter, in order: the minidump first
// when it was written, then each attached file that exists (its copy in the
// crash folder, or its path as sent when the copy failed).
#include <string>
#include <vector>

namespace nelko {

using AttachmentList = std::vector<std::wstring>;

}  // namespace nelko
