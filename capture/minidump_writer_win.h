#pragma once
// crash.dmp: a minidump of the crashed engine, taken from outside with the
// exception and registers of the crash data block.
#include <windows.h>

#include <cstdint>
#include <string>

namespace nelko {

// dbghelp.dll and its MiniDumpWriteDump, loaded on first use and kept for
// the life of the process. A library without the entry point is kept too and
// not loaded again; a library that could not be loaded is tried again on the
// next dump.
struct MiniDumpLibrary {
  HMODULE module = nullptr;
  FARPROC write_dump = nullptr;
};

// The process-wide library.
MiniDumpLibrary& GetMiniDumpLibrary();

// Writes a MiniDumpNormal dump of `process` to `path` with the crash's
// exception information, held in the handler's own memory: a copy of the
// record with at most EXCEPTION_MAXIMUM_PARAMETERS parameters and no chain,
// and of the registers with only the known context flags. On any failure
// no file is left and "Failed to generate minidump ..." is written.
bool WriteMinidump(HANDLE process, const std::wstring& path, uint32_t crashed_thread_id,
                   const EXCEPTION_RECORD& exception_record, const CONTEXT& context);

// The same with a given library record, filled from `library_name` when
// empty: lets tests see the missing-library and missing-entry paths.
bool WriteMinidumpWith(MiniDumpLibrary& library, const char* library_name, HANDLE process,
                       const std::wstring& path, uint32_t crashed_thread_id,
                       const EXCEPTION_RECORD& exception_record, const CONTEXT& context);

}  // namespace nelko
