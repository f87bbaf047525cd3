/* A stand-in for the engine's managed runtime: the two out-of-process exports
 * that the crash handler loads, over a table of code ranges that the test
 * engine keeps in its own memory (its address is the crash data block's
 * managedContext). Everything is read through the handler's read callback.
 *
 * Built as plain C without unwind tables, as a foreign runtime would be:
 * nothing may unwind through these frames.
 *
 * Table layout (little-endian, at managedContext):
 *   header  { uint32 magic 'NKMT', uint32 count }
 *   entries { uint64 begin, uint64 end, uint32 flags, uint32 reserved,
 *             char class_name[64], char method_name[64], char image_name[64] }
 * An address in [begin, end) is managed code. With flag 1 the entry's
 * lookup reads an unreadable address and reports the read failure instead;
 * with flag 2 it faults (writes to the never-mapped first page), as a broken
 * runtime would. With flag 4 it probes the never-mapped page through the
 * system's IsBadReadPtr (whose own handler takes the fault) while it holds
 * its lock, then describes the frame; a lookup that finds the lock still
 * taken (a probe that never came back) describes nothing, where a real
 * runtime would block. With flag 8 it reports a read failure from a thread of
 * its own, waits for that thread, then describes the frame.
 *
 * With MANAGED_RUNTIME_STUB_FAIL_INIT set in the environment, the init export
 * reports a read failure before it returns. */
#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define STUB_MAGIC 0x544D4B4Eu /* "NKMT" */
#define STUB_FLAG_FAIL_READ 1u
#define STUB_FLAG_FAULT 2u
#define STUB_FLAG_PROBE 4u
#define STUB_FLAG_FAIL_ON_OWN_THREAD 8u
#define STUB_NAME_SIZE 64

typedef struct {
  uint32_t magic;
  uint32_t count;
} StubHeader;

typedef struct {
  uint64_t begin;
  uint64_t end;
  uint32_t flags;
  uint32_t reserved;
  char class_name[STUB_NAME_SIZE];
  char method_name[STUB_NAME_SIZE];
  char image_name[STUB_NAME_SIZE];
} StubEntry;

typedef struct {
  char* method_name;
  uint32_t method_name_capacity;
  char* class_name;
  uint32_t class_name_capacity;
  char* image_name;
  uint32_t image_name_capacity;
} StackFrameDetails;

typedef int(__cdecl* ReadMemoryFn)(void* destination, size_t* bytes_read, uintptr_t remote, size_t size,
                                   void* user_data);
typedef void(__cdecl* ReadFailureFn)(uint32_t first, uint32_t second, uint32_t third);

static ReadMemoryFn g_read;
static ReadFailureFn g_fail;
static void* g_user_data;
/* The first page is never mapped. */
static volatile uintptr_t g_never_mapped = 16;
/* The runtime's lock, taken around a probe. */
static volatile LONG g_locked;

/* Reads or reports: a failed read goes to the handler's failure callback,
 * which does not return. */
static void ReadOrFail(void* destination, uintptr_t remote, size_t size) {
  size_t got = 0;
  if (!g_read(destination, &got, remote, size, g_user_data) || got != size) {
    g_fail((uint32_t)remote, (uint32_t)size, 1u);
  }
}

static void CopyName(char* destination, uint32_t capacity, const char* source) {
  size_t n = strnlen(source, STUB_NAME_SIZE);
  if (destination == NULL || capacity == 0) return;
  if (n >= capacity) n = capacity - 1;
  memcpy(destination, source, n);
  destination[n] = '\0';
}

static DWORD WINAPI FailOnOwnThread(void* unused) {
  (void)unused;
  g_fail((uint32_t)g_never_mapped, 4u, 2u);
  return 0;
}

__declspec(dllexport) int __cdecl mono_nelko_oop_init(ReadMemoryFn read, ReadFailureFn fail,
                                                      void* user_data) {
  char flag[8];
  g_read = read;
  g_fail = fail;
  g_user_data = user_data;
  if (GetEnvironmentVariableA("MANAGED_RUNTIME_STUB_FAIL_INIT", flag, sizeof(flag)) > 0) {
    uint32_t word;
    ReadOrFail(&word, 16, sizeof(word));
  }
  return 1;
}

__declspec(dllexport) int __cdecl mono_nelko_oop_get_stack_frame_details(uintptr_t context, uintptr_t address,
                                                                         StackFrameDetails* details) {
  StubHeader header;
  StubEntry entry;
  uint32_t i;
  if (g_read == NULL || context == 0 || g_locked) return 0;
  ReadOrFail(&header, context, sizeof(header));
  if (header.magic != STUB_MAGIC) return 0;
  for (i = 0; i < header.count; ++i) {
    ReadOrFail(&entry, context + sizeof(header) + (uintptr_t)i * sizeof(entry), sizeof(entry));
    if ((uint64_t)address < entry.begin || (uint64_t)address >= entry.end) continue;
    if (entry.flags & STUB_FLAG_FAIL_READ) {
      /* The first page is never mapped. */
      uint32_t word;
      ReadOrFail(&word, 16, sizeof(word));
    }
    if (entry.flags & STUB_FLAG_FAULT) {
      *(volatile uint32_t*)g_never_mapped = 0;
    }
    if (entry.flags & STUB_FLAG_PROBE) {
      g_locked = 1;
      IsBadReadPtr((const void*)g_never_mapped, 4);
      g_locked = 0;
    }
    if (entry.flags & STUB_FLAG_FAIL_ON_OWN_THREAD) {
      HANDLE thread = CreateThread(NULL, 0, FailOnOwnThread, NULL, 0, NULL);
      if (thread != NULL) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
      }
    }
    CopyName(details->class_name, details->class_name_capacity, entry.class_name);
    CopyName(details->method_name, details->method_name_capacity, entry.method_name);
    CopyName(details->image_name, details->image_name_capacity, entry.image_name);
    return 1;
  }
  return 0;
}
