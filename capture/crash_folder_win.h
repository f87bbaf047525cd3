#pragma once
// Where one crash's files go: a folder named after the UTC time of the
// crash, and free names for attached files whose names clash.
#include <windows.h>

#include <string>

namespace nelko {

struct CrashFolder {
  bool created = false;
  std::wstring path;  // without a final backslash; set even when not created
};

// Creates `Crash_<UTC time>` under `crash_report_path`, or under the
// temporary folder when that path is empty or the folder cannot be made
// there. The folder is always a new one: when a folder (or file) of that
// name exists already, for example after a second crash in the same
// millisecond, "_2", "_3", ... are appended, so no crash overwrites the
// dump of another.
CrashFolder CreateCrashFolder(const std::wstring& crash_report_path);
CrashFolder CreateCrashFolderAt(const std::wstring& crash_report_path, const SYSTEMTIME& utc_now);

// The first of path's stem + "001".."999" + extension that names no file
// (a folder does not count), splitting at the last '.' of the file name.
// Empty when all 999 are taken: there is no free name, and the caller must
// not overwrite one.
std::wstring MakeUniquePath(const std::wstring& path);

// True when `path` names an existing file (not a folder).
bool IsExistingFile(const std::wstring& path);

}  // namespace nelko
