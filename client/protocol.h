#pragma once
// The protocol between an engine and the crash handler, shared by both sides:
// the engine-side library in client/ and the handler include this one header.
//
// - Command line: `<handler> --attach <pid> <address>` (both decimal), with
//   optional `--terminate` and `--wait-for-user`; the read end of a pipe is
//   the handler's standard input.
// - Three named events (automatic reset), the engine's process id in decimal.
// - The command pipe: a 32-bit little-endian payload length, then the
//   NUL-separated strings of the message, the command name first.
// - The crash data block in the engine's memory, at <address>.
// - The handler's exit code: the session result.
//
// Portable: no <windows.h>. client/crash_data_block_win.h gives the block its
// Windows types.
#include <cstddef>
#include <cstdint>

namespace nelko {

// Event names, formatted with the engine's process id (%u).
inline constexpr const wchar_t* kCrashEventNameFormat = L"NelkoCrashHandler_%u";
inline constexpr const wchar_t* kResponseEventNameFormat = L"NelkoCrashHandlerResp_%u";
inline constexpr const wchar_t* kTerminationEventNameFormat = L"NelkoCrashHandlerTerm_%u";
// Characters of the buffer the names are formatted into.
inline constexpr size_t kEventNameCapacity = 256;

// The largest payload length the handler accepts.
inline constexpr uint32_t kMaxPayloadBytes = 0x7FFFFFFF;

// The command names, as the first string of a message.
namespace command {
inline constexpr const char* kAddFile = "AddFile";
inline constexpr const char* kRemoveFile = "RemoveFile";
inline constexpr const char* kSetIsEditor = "SetIsEditor";
inline constexpr const char* kSetMetaData = "SetMetaData";
inline constexpr const char* kSetUserMetaData = "SetUserMetaData";
inline constexpr const char* kSetAppName = "SetAppName";
inline constexpr const char* kSetVendor = "SetVendor";
inline constexpr const char* kSetInfo = "SetInfo";
inline constexpr const char* kSetShowDialog = "SetShowDialog";
inline constexpr const char* kSetBugReporterAppPath = "SetBugReporterAppPath";
inline constexpr const char* kSetCrashReportPath = "SetCrashReportPath";
inline constexpr const char* kSetAnalyticsCrashFilePath = "SetAnalyticsCrashFilePath";
inline constexpr const char* kSetMonoPath = "SetMonoPath";
inline constexpr const char* kSetLogBufferSize = "SetLogBufferSize";
inline constexpr const char* kRecordLogMessage = "RecordLogMessage";
}  // namespace command

// Session results: the handler's exit code after `--attach`.
inline constexpr int32_t kSessionUsage = -900;
inline constexpr int32_t kSessionCannotOpenProcess = -899;
inline constexpr int32_t kSessionCannotCreateEvent = -898;
inline constexpr int32_t kSessionWaitFailed = -897;
inline constexpr int32_t kSessionNoExitCode = -896;
inline constexpr int32_t kCrashBlockUnreadable = -895;
inline constexpr int32_t kCrashBlockCorrupt = -894;
inline constexpr int32_t kSessionNoStandardInput = -892;
inline constexpr int32_t kSessionReaderFailed = -891;
// A crash the engine survives: the session keeps watching it.
inline constexpr int32_t kSessionKeepWatching = -890;

// The crash data block's magic: the bytes 03 48 43 6F 6B 6C 65 4E in memory.
inline constexpr uint64_t kCrashBlockMagic = 0x4E656C6B6F434803ull;
// Bit 0 of `flags`: the engine will not go on after this crash.
inline constexpr uint32_t kCrashBlockFatal = 1;
// Size of the block a 32-bit x86 engine writes.
inline constexpr uint32_t kX86CrashBlockSize = 1856;

// The record an engine's in-process crash handler fills before it sets the
// crash event. One declaration for every build: `Address` is the engine's
// pointer type, and the exception record and register context are the
// system's own types of the engine's architecture. The layout of a 32-bit
// x86 engine is the wire format (X86CrashDataBlock below checks it); a
// 64-bit handler and engine use the same declaration with native types.
template <class Address, class ExceptionRecord, class Context>
struct BasicCrashDataBlock {
  uint64_t magic;            // kCrashBlockMagic
  uint32_t pid;              // the engine's process id
  uint32_t crashedThreadId;  // the thread that crashed
  uint32_t size;             // sizeof the block, as the writer sees it
  uint32_t reserved0;
  Address managedContext;  // handed to the managed runtime unchanged; 0 for none
  uint32_t reserved1;
  ExceptionRecord exceptionRecord;  // pointers inside are addresses in the engine
  Context context;                  // the crashing thread's registers
  uint32_t flags;                   // kCrashBlockFatal
  uint8_t reserved2[1024];

  bool fatal() const { return (flags & kCrashBlockFatal) != 0; }
};

// Byte images of the x86 system types, for checking the wire layout in
// every build.
struct X86ExceptionRecordBytes {
  uint32_t words[20];
};
struct X86ContextBytes {
  uint32_t words[179];
};
using X86CrashDataBlock = BasicCrashDataBlock<uint32_t, X86ExceptionRecordBytes, X86ContextBytes>;

static_assert(sizeof(X86ExceptionRecordBytes) == 80);
static_assert(sizeof(X86ContextBytes) == 716);
static_assert(offsetof(X86CrashDataBlock, magic) == 0x000);
static_assert(offsetof(X86CrashDataBlock, pid) == 0x008);
static_assert(offsetof(X86CrashDataBlock, crashedThreadId) == 0x00C);
static_assert(offsetof(X86CrashDataBlock, size) == 0x010);
static_assert(offsetof(X86CrashDataBlock, managedContext) == 0x018);
static_assert(offsetof(X86CrashDataBlock, exceptionRecord) == 0x020);
static_assert(offsetof(X86CrashDataBlock, context) == 0x070);
static_assert(offsetof(X86CrashDataBlock, flags) == 0x33C);
static_assert(offsetof(X86CrashDataBlock, reserved2) == 0x340);
static_assert(sizeof(X86CrashDataBlock) == kX86CrashBlockSize);

}  // namespace nelko
