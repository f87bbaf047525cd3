#pragma once
// The report cache's files, read and written through the file layer (UTF-8
// paths), so the same logic runs on Windows and natively under the
// sanitizers: writing a report pair (.json.gz and .json.meta), reading and
// verifying it, listing a folder and caching a report under a time stamp.
// report_cache_win.h adds where the cache lives and UTF-16 forms.
#include <string>
#include <string_view>
#include <vector>

#include "report/cache_status.h"
#include "report/cached_report.h"
#include "report/md5.h"

namespace nelko {

struct CrashReport;

// The metadata path of a report path ("x.json.gz" -> "x.json.meta").
std::string MetaPathFor(std::string_view report_path);

// Reads the whole file with no sharing (so no writer changes it underneath)
// and computes its salted digest; *bytes, when given, gets the bytes.
// False when unreadable or 4 GiB or larger.
bool ComputeReportDigest(const std::string& path, Md5::Digest* digest, std::string* bytes = nullptr);

// The writer builds a report file under its path with this appended, which
// the listing of reports never matches, and renames it last.
constexpr char kUnfinishedReportSuffix[] = ".part";
std::string UnfinishedReportPathFor(std::string_view report_path);

// Writes the report file at path (creating its folder) and the metadata file
// beside it, so that the report file appears only once both are whole: an
// upload run meanwhile sees the pair whole or not at all. An existing report
// file is never replaced: that is kFailedToWrite with *name_taken set, so the
// caller can pick another name (as is a name whose metadata file or
// unfinished report file is there). A failing writer leaves nothing behind;
// one that is killed may leave its metadata file and unfinished report file,
// which upload mode completes or removes (report_cache_win.h).
// A project id is recorded up to its first NUL byte, as the record holds it.
CacheStatus WriteCachedReport(const std::string& path, std::string_view data, std::string_view project_id,
                              bool* name_taken = nullptr);

// Test seam: called with the report path after the writer has written its
// first file and before its second, so a test can act in between (or stop
// the writer there). Null (the default) calls nothing.
using CacheWriteSeam = void (*)(const std::string& report_path);
void SetCacheWriteSeamForTest(CacheWriteSeam seam);

// Reads and verifies the pair; on kOk fills *report, otherwise leaves it.
CacheStatus ReadCachedReport(const std::string& path, CachedReport* report);

// Every "*.json.gz" file of folder (folders skipped) as folder + name, in
// the order the system lists them; nothing when the folder does not exist.
std::vector<std::string> ListCachedReportsIn(const std::string& folder);

// Serialises, compresses and stores a report in folder (ending with a
// separator) under the stamp, taking the next free name when the stamp's
// name is taken; *path gets the report file written. True when both files
// were written.
bool CacheReportAt(const CrashReport& report, const std::string& folder, const CacheTimeStamp& stamp,
                   std::string* path = nullptr);

}  // namespace nelko
