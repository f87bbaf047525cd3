// test_engine_chains.dll: threads parked in known call chains, for the
// stack-walk tests. Built with frame pointers, no inlining and no sibling
// calls, so every level keeps its frame. Each level records the return
// address it was called with; the engine prints them relative to this
// module's base, which is what a walk must report.
//
// Thread kinds:
//   chain  ParkedMain -> ChainOuter -> ChainMiddle -> ChainInner (parked)
//   fail   FailMain -> FailOuter -> FailMiddle -> ChainInner (parked); the
//          managed table makes the stand-in runtime fail to read on the
//          return address into FailOuter
//   fault  FaultMain -> FaultOuter -> FaultMiddle -> ChainInner (parked); the
//          stand-in runtime faults on the return address into FaultOuter
//   probe  ProbeMain -> ProbeOuter -> ProbeMiddle -> ChainInner (parked); the
//          stand-in runtime probes unmapped memory under the system's own
//          handler on the return address into ProbeOuter, then names it
//          "Game.Probe.Check()"
//   foreign  ForeignMain -> ForeignOuter -> ForeignMiddle -> ChainInner
//          (parked); the stand-in runtime reports a read failure from a
//          thread of its own on the return address into ForeignOuter, then
//          names it "Game.Foreign.Read()"
//   deep   DeepMain -> DeepRecurse x depth -> ChainInner (parked)
//   varied VariedMain -> ChainRecurse x depth -> ChainOuter -> ChainMiddle
//          -> ChainInner (parked), many threads of different depths, for
//          the benchmarks (ParkVariedChains)
// The managed table names the return address into ChainOuter
// "Game.Player.Update()" (without an image name).
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#define NOINLINE __attribute__((noinline))

namespace {

constexpr uint32_t kTableMagic = 0x544D4B4Eu;  // "NKMT"
constexpr uint32_t kFlagFailRead = 1;
constexpr uint32_t kFlagFault = 2;
constexpr uint32_t kFlagProbe = 4;
constexpr uint32_t kFlagFailOnOwnThread = 8;

struct TableEntry {
  uint64_t begin;
  uint64_t end;
  uint32_t flags;
  uint32_t reserved;
  char class_name[64];
  char method_name[64];
  char image_name[64];
};

struct ManagedTable {
  uint32_t magic;
  uint32_t count;
  TableEntry entries[6];
};
static_assert(sizeof(TableEntry) == 216, "the stand-in runtime's entry layout");
static_assert(offsetof(ManagedTable, entries) == 8, "the stand-in runtime's header layout");

struct ChainRecord {
  void* returns[3] = {};  // into the caller of ChainInner, then two levels up
  void* deep_return = nullptr;
  DWORD thread_id = 0;
};

ManagedTable g_table;
HANDLE g_ready = nullptr;    // released once per parked thread
HANDLE g_release = nullptr;  // never set: the threads stay parked
DWORD g_first_chain_thread = 0;
volatile int g_sink = 0;

NOINLINE void ChainInner(ChainRecord* r) {
  r->returns[0] = __builtin_return_address(0);
  r->thread_id = GetCurrentThreadId();
  ReleaseSemaphore(g_ready, 1, nullptr);
  WaitForSingleObject(g_release, INFINITE);
  g_sink = g_sink + 1;
}

NOINLINE void ChainMiddle(ChainRecord* r) {
  r->returns[1] = __builtin_return_address(0);
  ChainInner(r);
  g_sink = g_sink + 1;
}

NOINLINE void ChainOuter(ChainRecord* r) {
  r->returns[2] = __builtin_return_address(0);
  ChainMiddle(r);
  g_sink = g_sink + 1;
}

NOINLINE void FailMiddle(ChainRecord* r) {
  r->returns[1] = __builtin_return_address(0);
  ChainInner(r);
  g_sink = g_sink + 1;
}

NOINLINE void FailOuter(ChainRecord* r) {
  r->returns[2] = __builtin_return_address(0);
  FailMiddle(r);
  g_sink = g_sink + 1;
}

NOINLINE void FaultMiddle(ChainRecord* r) {
  r->returns[1] = __builtin_return_address(0);
  ChainInner(r);
  g_sink = g_sink + 1;
}

NOINLINE void FaultOuter(ChainRecord* r) {
  r->returns[2] = __builtin_return_address(0);
  FaultMiddle(r);
  g_sink = g_sink + 1;
}

NOINLINE void ProbeMiddle(ChainRecord* r) {
  r->returns[1] = __builtin_return_address(0);
  ChainInner(r);
  g_sink = g_sink + 1;
}

NOINLINE void ProbeOuter(ChainRecord* r) {
  r->returns[2] = __builtin_return_address(0);
  ProbeMiddle(r);
  g_sink = g_sink + 1;
}

NOINLINE void ForeignMiddle(ChainRecord* r) {
  r->returns[1] = __builtin_return_address(0);
  ChainInner(r);
  g_sink = g_sink + 1;
}

NOINLINE void ForeignOuter(ChainRecord* r) {
  r->returns[2] = __builtin_return_address(0);
  ForeignMiddle(r);
  g_sink = g_sink + 1;
}

NOINLINE void DeepRecurse(ChainRecord* r, int n) {
  if (n > 0) {
    DeepRecurse(r, n - 1);
  } else {
    ChainInner(r);
  }
  g_sink = g_sink + n;
}

struct DeepStart {
  ChainRecord* record;
  int depth;
};

NOINLINE void ChainRecurse(ChainRecord* r, int n) {
  if (n > 0) {
    ChainRecurse(r, n - 1);
  } else {
    ChainOuter(r);
  }
  g_sink = g_sink + n;
}

DWORD WINAPI VariedMain(void* p) {
  auto* start = static_cast<DeepStart*>(p);
  ChainRecurse(start->record, start->depth);
  return 0;
}

DWORD WINAPI ParkedMain(void* p) {
  ChainOuter(static_cast<ChainRecord*>(p));
  return 0;
}

DWORD WINAPI FailMain(void* p) {
  FailOuter(static_cast<ChainRecord*>(p));
  return 0;
}

DWORD WINAPI FaultMain(void* p) {
  FaultOuter(static_cast<ChainRecord*>(p));
  return 0;
}

DWORD WINAPI ProbeMain(void* p) {
  ProbeOuter(static_cast<ChainRecord*>(p));
  return 0;
}

DWORD WINAPI ForeignMain(void* p) {
  ForeignOuter(static_cast<ChainRecord*>(p));
  return 0;
}

DWORD WINAPI DeepMain(void* p) {
  auto* start = static_cast<DeepStart*>(p);
  DeepRecurse(start->record, start->depth);
  return 0;
}

void AddEntry(void* address, const char* class_name, const char* method_name, uint32_t flags) {
  TableEntry& e = g_table.entries[g_table.count++];
  e.begin = reinterpret_cast<uintptr_t>(address);
  e.end = e.begin + 1;
  e.flags = flags;
  std::strncpy(e.class_name, class_name, sizeof(e.class_name) - 1);
  std::strncpy(e.method_name, method_name, sizeof(e.method_name) - 1);
}

uintptr_t Rva(void* address, HMODULE base) {
  return reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(base);
}

}  // namespace

// The first parked chain thread, which a test may name as the crashed one;
// 0 until threads were parked.
extern "C" __declspec(dllexport) DWORD FirstChainThread() { return g_first_chain_thread; }

// Where the stand-in runtime's table lies (the crash data block's
// managedContext); 0 until threads were parked.
extern "C" __declspec(dllexport) uintptr_t ManagedContext() {
  return g_table.magic == kTableMagic ? reinterpret_cast<uintptr_t>(&g_table) : 0;
}

// Starts `chains` chain threads, one fail, one fault, one probe and one
// foreign thread and, when `depth` > 0, one deep thread; returns when all are parked, after printing
//   engine: chains base 0x<base> managed-context 0x<table>
//   engine: parked <kind> <thread id> <rva> <rva> <rva>
// (rvas innermost first: the return address into ChainInner's caller, then
// the two above it) and "engine: all parked" at the end.
extern "C" __declspec(dllexport) int ParkThreads(int chains, int depth) {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ParkThreads), &self);
  g_ready = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
  g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const int fail = chains;
  const int fault = chains + 1;
  const int probe = chains + 2;
  const int foreign = chains + 3;
  const int total = chains + 4 + (depth > 0 ? 1 : 0);
  auto* records = new ChainRecord[total];
  auto* deep = new DeepStart{&records[total - 1], depth};
  for (int i = 0; i < total; ++i) {
    LPTHREAD_START_ROUTINE start = i < chains     ? ParkedMain
                                   : i == fail    ? FailMain
                                   : i == fault   ? FaultMain
                                   : i == probe   ? ProbeMain
                                   : i == foreign ? ForeignMain
                                                  : DeepMain;
    void* argument = i <= foreign ? static_cast<void*>(&records[i]) : static_cast<void*>(deep);
    // Deep chains need more than the default stack.
    HANDLE thread =
        CreateThread(nullptr, 4 << 20, start, argument, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return 0;
    CloseHandle(thread);
  }
  for (int i = 0; i < total; ++i) WaitForSingleObject(g_ready, INFINITE);

  g_table.magic = kTableMagic;
  if (chains > 0) AddEntry(records[0].returns[1], "Game.Player", "Update", 0);
  if (chains > 0) g_first_chain_thread = records[0].thread_id;
  AddEntry(records[fail].returns[1], "Game.Broken", "Read", kFlagFailRead);
  AddEntry(records[fault].returns[1], "Game.Broken", "Fault", kFlagFault);
  AddEntry(records[probe].returns[1], "Game.Probe", "Check", kFlagProbe);
  AddEntry(records[foreign].returns[1], "Game.Foreign", "Read", kFlagFailOnOwnThread);

  std::printf("engine: chains base 0x%llx managed-context 0x%llx\n",
              static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(self)),
              static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&g_table)));
  for (int i = 0; i < total; ++i) {
    const char* kind = i < chains     ? "chain"
                       : i == fail    ? "fail"
                       : i == fault   ? "fault"
                       : i == probe   ? "probe"
                       : i == foreign ? "foreign"
                                      : "deep";
    std::printf("engine: parked %s %lu %llx %llx %llx\n", kind, records[i].thread_id,
                static_cast<unsigned long long>(Rva(records[i].returns[0], self)),
                static_cast<unsigned long long>(Rva(records[i].returns[1], self)),
                static_cast<unsigned long long>(Rva(records[i].returns[2], self)));
  }
  std::printf("engine: all parked\n");
  std::fflush(stdout);
  return total;
}

// Starts `count` threads parked at the end of chains of `min_depth` to
// `max_depth` extra levels, spread evenly, with the return address into
// ChainOuter named "Game.Player.Update()" by the managed table; returns
// when all are parked, after printing
//   engine: chains base 0x<base> managed-context 0x<table>
//   engine: parked varied <count> threads of <min_depth> to <max_depth> levels
//   engine: all parked
extern "C" __declspec(dllexport) int ParkVariedChains(int count, int min_depth, int max_depth) {
  if (count <= 0 || min_depth < 0 || max_depth < min_depth) return 0;
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ParkVariedChains), &self);
  g_ready = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
  g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto* records = new ChainRecord[count];
  auto* starts = new DeepStart[count];
  for (int i = 0; i < count; ++i) {
    starts[i] = {&records[i], min_depth + i % (max_depth - min_depth + 1)};
    // Small stacks: hundreds of threads fit the 32-bit address space.
    HANDLE thread =
        CreateThread(nullptr, 256 << 10, VariedMain, &starts[i], STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return 0;
    CloseHandle(thread);
  }
  for (int i = 0; i < count; ++i) WaitForSingleObject(g_ready, INFINITE);
  g_table.count = 0;
  AddEntry(records[0].returns[1], "Game.Player", "Update", 0);
  g_table.magic = kTableMagic;
  g_first_chain_thread = records[0].thread_id;
  std::printf("engine: chains base 0x%llx managed-context 0x%llx\n",
              static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(self)),
              static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&g_table)));
  std::printf("engine: parked varied %d threads of %d to %d levels\n", count, min_depth, max_depth);
  std::printf("engine: all parked\n");
  std::fflush(stdout);
  return count;
}
