#include "crash_kinds.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

// Outside the unnamed namespace: with every kind of Shape in view, the
// compiler would know the only Paint there is and never make the pure call.
struct Shape;
void Draw(Shape* shape);
struct Shape {
  Shape() { Draw(this); }  // while a Shape is made, its Paint is still pure
  virtual ~Shape() = default;
  virtual void Paint() = 0;
};
struct Circle : Shape {
  void Paint() override {}
};
void Draw(Shape* shape) { shape->Paint(); }

namespace {

void SayCrashing() {
  std::printf("sample: thread %lu crashes\n", GetCurrentThreadId());
  std::fflush(stdout);
}

void WriteToAddress16() {
  // Through a volatile address, so the compiler emits the store itself
  // rather than a trap of its own.
  volatile uintptr_t address = 16;
  *reinterpret_cast<volatile int*>(address) = 1;
}

volatile bool g_stop_recursing = false;
[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (g_stop_recursing) return 0;
  return Recurse(depth + 1) + frame[0];
}

void LoadLevel() { throw std::runtime_error("level data is corrupt"); }

void* FromUcrt(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ucrtbase.dll"), name));
}

// xor eax, eax; mov dword [eax], 1; ret: the same bytes on x86 and x64.
const unsigned char kStoreToNull[] = {0x31, 0xC0, 0xC7, 0x00, 0x01, 0x00, 0x00, 0x00, 0xC3};

DWORD WINAPI CrashingThread(void* start) {
  if (start != nullptr) WaitForSingleObject(start, INFINITE);
  SayCrashing();
  WriteToAddress16();
  return 0;
}

[[noreturn]] void WaitForEver() {
  for (;;) Sleep(INFINITE);
}

}  // namespace

bool IsCrashKind(const std::string& kind) {
  for (const char* k :
       {"access-violation", "stack-overflow", "abort", "pure-virtual", "uncaught-exception", "ucrt-pure-call",
        "ucrt-invalid-parameter", "generated-code", "second-thread", "two-at-once"}) {
    if (kind == k) return true;
  }
  return false;
}

void PrepareCrash(const std::string& kind) {
  if (kind.rfind("ucrt-", 0) == 0) LoadLibraryW(L"ucrtbase.dll");
}

void Crash(const std::string& kind) {
  if (kind == "second-thread") {
    CloseHandle(CreateThread(nullptr, 0, CrashingThread, nullptr, 0, nullptr));
    WaitForEver();
  }
  if (kind == "two-at-once") {
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, CrashingThread, start, 0, nullptr));
    CloseHandle(CreateThread(nullptr, 0, CrashingThread, start, 0, nullptr));
    SetEvent(start);
    WaitForEver();
  }
  SayCrashing();
  if (kind == "access-violation") WriteToAddress16();
  if (kind == "stack-overflow") Recurse(0);
  if (kind == "abort") std::abort();
  if (kind == "pure-virtual") {
    Circle circle;
  }
  if (kind == "uncaught-exception") LoadLevel();
  if (kind == "ucrt-pure-call") {
    // What a module built by Microsoft's compiler calls from a pure slot.
    reinterpret_cast<void (*)()>(FromUcrt("_purecall"))();
  }
  if (kind == "ucrt-invalid-parameter") {
    using StrcpyS = int(__cdecl*)(char*, size_t, const char*);
    reinterpret_cast<StrcpyS>(FromUcrt("strcpy_s"))(nullptr, 0, "no room");
  }
  if (kind == "generated-code") {
    void* code = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    std::memcpy(code, kStoreToNull, sizeof(kStoreToNull));
    FlushInstructionCache(GetCurrentProcess(), code, sizeof(kStoreToNull));
    reinterpret_cast<void (*)()>(code)();
  }
  std::printf("sample: %s did not crash\n", kind.c_str());
  std::fflush(stdout);
  std::exit(2);
}
