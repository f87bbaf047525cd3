#pragma once
// The loop of upload mode over a report cache folder, with its limits, so
// tests can run it on a folder of their own against a server of their own
// and with limits that end in seconds.
#include <windows.h>

#include <cstdint>
#include <string>

#include "upload/report_upload_win.h"
#include "upload/upload_endpoint.h"

namespace nelko {

// What one run of upload mode may spend and keep. The defaults are meant for
// players' machines: a run that starts after every engine session must end
// in minutes whatever the network does, and a cache that nobody empties
// (no network, or a server that refuses a game's reports) must stay small.
struct UploadRunOptions {
  // --no-delete: keep what was sent.
  bool keep = false;
  const char* base_url = kUploadBaseUrl;
  // Each request: 30 s to connect, 60 s for any send or receive, 2 minutes
  // in all.
  UploadOptions request;
  // The whole run: reports not tried within 10 minutes wait for the next run.
  DWORD run_limit_ms = 10 * 60 * 1000;
  // The cache keeps the newest 50 reports and 100 MiB of them at most; the
  // oldest go first. A crash a minute for an hour stays within it, and so
  // does a report of every thread of a large engine.
  uint32_t max_reports = 50;
  uint64_t max_bytes = uint64_t{100} << 20;
  // A report the server refused with a 4xx status this many times (in
  // separate runs) is given up: the server will not take it, and sending it
  // on every run for ever only costs the player. 408 and 429 say "try
  // later" and do not count.
  uint32_t max_refusals = 3;
  // Files a writer left unfinished are repaired once they are this old: a
  // writer still at work is never younger than a few seconds.
  uint64_t unfinished_age_ms = 10 * 60 * 1000;
};

// Repairs what writers left unfinished, keeps the cache within its bounds,
// then prints "Found %u potential reports:", per report its path and the
// status text, and "Done.". Each report is read, posted and, when that
// succeeded and options.keep is false, deleted; one refused too often is
// given up.
void UploadCachedReports(const std::wstring& folder, const UploadRunOptions& options);

}  // namespace nelko
