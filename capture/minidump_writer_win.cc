#include "capture/minidump_writer_win.h"

#include <dbghelp.h>

#include "base/diag_output.h"
#include "base/scoped_handle_win.h"
#include "base/text_win.h"
#include "capture/read_crash_data_block_win.h"

namespace nelko {
namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

bool Fail(const std::wstring& path) {
  DWORD code = GetLastError();
  // As HRESULT_FROM_WIN32 would have it.
  if (static_cast<int32_t>(code) > 0) code = (code & 0xFFFF) | 0x80070000u;
  DiagPrintf("Failed to generate minidump at '%s' (%x)\n", WideToUtf8(path).c_str(),
             static_cast<unsigned>(code));
  return false;
}

// Closes and deletes the file of a dump that did not succeed, keeping the
// error of the failure for the message.
void Discard(ScopedHandle& file, const std::wstring& path) {
  const DWORD error = GetLastError();
  file.reset();
  DeleteFileW(path.c_str());
  SetLastError(error);
}

bool IsDiskFull(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

// Whether a dump the library called a success is whole. Some writers (Wine's)
// take no notice of a write that failed on a full drive: the call succeeds,
// the failed write's error is left behind, and the file has holes where its
// streams should be. A file with holes counts as cut short only when the
// drive lacks the room for them, so that a compressed file or share, whose
// allocation is smaller than its size, is not mistaken for one.
bool DumpIsWhole(HANDLE file, const std::wstring& path, DWORD error_after_write) {
  if (IsDiskFull(error_after_write)) return false;
  FILE_STANDARD_INFO standard = {};
  if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard))) return true;
  const ULONGLONG size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
  const ULONGLONG allocated = static_cast<ULONGLONG>(standard.AllocationSize.QuadPart);
  if (allocated >= size) return true;
  const size_t slash = path.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash + 1);
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return true;
  return available.QuadPart >= size - allocated;
}

}  // namespace

MiniDumpLibrary& GetMiniDumpLibrary() {
  static MiniDumpLibrary library;
  return library;
}

bool WriteMinidump(HANDLE process, const std::wstring& path, uint32_t crashed_thread_id,
                   const EXCEPTION_RECORD& exception_record, const CONTEXT& context) {
  return WriteMinidumpWith(GetMiniDumpLibrary(), "dbghelp.dll", process, path, crashed_thread_id,
                           exception_record, context);
}

bool WriteMinidumpWith(MiniDumpLibrary& library, const char* library_name, HANDLE process,
                       const std::wstring& path, uint32_t crashed_thread_id,
                       const EXCEPTION_RECORD& exception_record, const CONTEXT& context) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
  if (!file.valid()) return Fail(path);

  if (library.module == nullptr) {
    library.module = LoadLibraryA(library_name);
    if (library.module != nullptr) library.write_dump = GetProcAddress(library.module, "MiniDumpWriteDump");
  }
  if (library.module == nullptr) {
    DiagPrintf("ERROR: DumpMiniDump: dbghelp.dll not found\n");
    Discard(file, path);
    return Fail(path);
  }
  if (library.write_dump == nullptr) {
    DiagPrintf("ERROR: DumpMiniDump: MiniDumpWriteDump function in dbghelp.dll not found\n");
    Discard(file, path);
    return Fail(path);
  }

  DiagPrintf("writing minidump\n");
  // The writer reads these through our own pointers, so they point at the
  // handler's copies and ClientPointers stays FALSE. Whatever the caller
  // gives, the library sees a record no reader can run past: it copies as
  // many parameters as the count says into room for fifteen.
  EXCEPTION_RECORD record = exception_record;
  CONTEXT registers = context;
  MakeExceptionRecordSafe(record);
  MakeContextSafe(registers, kKnownContextFlags);
  EXCEPTION_POINTERS pointers = {&record, &registers};
  MINIDUMP_EXCEPTION_INFORMATION exception = {};
  exception.ThreadId = crashed_thread_id;
  exception.ExceptionPointers = &pointers;
  exception.ClientPointers = FALSE;

  const auto write_dump =
      reinterpret_cast<MiniDumpWriteDumpFunction>(reinterpret_cast<void*>(library.write_dump));
  SetLastError(ERROR_SUCCESS);
  const BOOL written =
      write_dump(process, GetProcessId(process), file.get(), MiniDumpNormal, &exception, nullptr, nullptr);
  if (written && DumpIsWhole(file.get(), path, GetLastError())) {
    file.reset();
    return true;
  }
  if (written) SetLastError(ERROR_DISK_FULL);
  Discard(file, path);
  return Fail(path);
}

}  // namespace nelko
