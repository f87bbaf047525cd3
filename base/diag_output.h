#pragma once
// The one diagnostic output of the handler: printf-style text onto the
// standard output stream (or the console that --console opened), flushed
// after every call so nothing is lost when the process is killed.
#include <cstdio>

namespace nelko {

#if defined(__GNUC__)
#define NELKO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NELKO_PRINTF_FORMAT(fmt, args)
#endif

void DiagPrintf(const char* format, ...) NELKO_PRINTF_FORMAT(1, 2);

// Replaces the stream DiagPrintf writes to (the console of --console, or a
// file in tests). Passing null makes the next call look up stdout again.
void SetDiagOutputStream(std::FILE* stream);
std::FILE* DiagOutputStream();

}  // namespace nelko
