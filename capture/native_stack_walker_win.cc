#include "capture/native_stack_walker_win.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "capture/frame_pointer_walk.h"

namespace nelko {

namespace {

constexpr size_t kLineSize = 2048;
constexpr size_t kSymbolRecordSize = sizeof(IMAGEHLP_SYMBOL64) + 2048;
constexpr size_t kModuleRecordCopySize = 4096;
// The module record up to its identity and symbol flags (without the newer
// machine-type fields, which older symbol libraries refuse), and the shorter
// record that the oldest accept.
constexpr DWORD kFullModuleRecordSize = offsetof(IMAGEHLP_MODULE64, MachineType);
constexpr DWORD kShortModuleRecordSize = 584;
static_assert(sizeof(void*) != 4 || kFullModuleRecordSize == 1672, "x86 full module record");

static_assert(sizeof(IMAGEHLP_SYMBOL64) == 32, "symbol record header");
static_assert(kSymbolRecordSize == 2080, "one symbol record with a 2048-byte name");
static_assert(sizeof(void*) != 4 || sizeof(IMAGEHLP_LINE64) == 24, "x86 line record");
static_assert(sizeof(void*) != 4 || sizeof(tagMODULEENTRY32) == 548, "x86 toolhelp module entry");
static_assert(sizeof(void*) != 4 || sizeof(CONTEXT) == 716, "x86 register state");
static_assert(sizeof(IMAGEHLP_MODULE64) <= kModuleRecordCopySize, "the module record fits its copy");

// A 32-bit address is sign-extended as the symbol functions expect; a 64-bit
// one is taken as it is.
uint64_t WidenAddress(uintptr_t address) {
  if constexpr (sizeof(uintptr_t) == 4) {
    return SignExtendAddress(static_cast<uint32_t>(address));
  } else {
    return address;
  }
}

// The "OS-Version" line's figures: the first version the system meets, asked
// once per process.
const char* OsVersionLine() {
  static char line[64];
  static bool probed = false;
  if (!probed) {
    probed = true;
    static const DWORD kVersions[][2] = {{10, 0}, {6, 3}, {6, 2}, {6, 1}, {6, 0}, {5, 1}};
    for (const auto& v : kVersions) {
      OSVERSIONINFOEXW info = {};
      info.dwOSVersionInfoSize = sizeof(info);
      info.dwMajorVersion = v[0];
      info.dwMinorVersion = v[1];
      info.wServicePackMajor = 0;
      DWORDLONG mask = 0;
      mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
      mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
      mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
      if (VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask)) {
        std::snprintf(line, sizeof(line), "OS-Version: %lu.%lu.%d\n", v[0], v[1], 0);
        break;
      }
    }
  }
  return line;
}

uint64_t ReadFileVersion(const char* image_path) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(image_path, &handle);
  if (size == 0) return 0;
  std::vector<uint8_t> data(size);
  if (!GetFileVersionInfoA(image_path, 0, size, data.data())) return 0;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return 0;
  }
  return (static_cast<uint64_t>(info->dwFileVersionMS) << 32) | info->dwFileVersionLS;
}

}  // namespace

NativeStackWalker::NativeStackWalker(HANDLE process, DWORD process_id, uint32_t options,
                                     const char* search_path)
    : engine_(std::make_unique<SymbolEngine>(*this, process)),
      process_(process),
      process_id_(process_id),
      options_(options),
      entry_(std::make_unique<CallstackEntry>()),
      symbol_record_(kSymbolRecordSize),
      module_record_(kModuleRecordCopySize),
      page_cache_(process),
      runtime_reads_(process) {
  if (search_path != nullptr) search_path_ = search_path;
  addresses_.reserve(kMaxReturnAddresses);
}

NativeStackWalker::~NativeStackWalker() = default;

void NativeStackWalker::Output(const char* format, ...) {
  char line[kLineSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  OnOutput(line);
}

void NativeStackWalker::OnSymInit(const char* search_path, DWORD sym_options, const char* user_name) {
  Output("SymInit: Symbol-SearchPath: '%s', symOptions: %lu, UserName: '%s'\n", search_path, sym_options,
         user_name);
  const char* version = OsVersionLine();
  if (version[0] != '\0') Output("%s", version);
}

void NativeStackWalker::OnLoadModule(const char* image_path, const char* module_name, uint64_t base,
                                     DWORD size, DWORD result, const char* sym_type, const char* pdb_name,
                                     uint64_t file_version) {
  void* shown_base = reinterpret_cast<void*>(static_cast<uintptr_t>(base));
  if (file_version != 0) {
    Output("%s:%s (%p), size: %lu (result: %lu), SymType: '%s', PDB: '%s', fileVersion: %u.%u.%u.%u\n",
           image_path, module_name, shown_base, size, result, sym_type, pdb_name,
           static_cast<unsigned>((file_version >> 48) & 0xFFFF),
           static_cast<unsigned>((file_version >> 32) & 0xFFFF),
           static_cast<unsigned>((file_version >> 16) & 0xFFFF),
           static_cast<unsigned>(file_version & 0xFFFF));
  } else {
    Output("%s:%s (%p), size: %lu (result: %lu), SymType: '%s', PDB: '%s'\n", image_path, module_name,
           shown_base, size, result, sym_type, pdb_name);
  }
}

void NativeStackWalker::OnCallstackEntry(CallstackEventType type, CallstackEntry& entry) {
  if (type == CallstackEventType::kLastEntry || entry.address == 0) return;
  OnOutput(PrepareFrameLine(entry).c_str());
}

void NativeStackWalker::OnDbgHelpErr(const char* function, DWORD error, uint64_t address) {
  Output("ERROR: %s, GetLastError: %lu (Address: %p)\n", function, error,
         reinterpret_cast<void*>(static_cast<uintptr_t>(address)));
}

void NativeStackWalker::OnOutput(const char* text) { OutputDebugStringA(text); }

bool NativeStackWalker::ResolveSpecialFrame(uintptr_t /*address*/, CallstackEntry& /*entry*/) {
  return false;
}

bool NativeStackWalker::LoadModules(bool force) {
  if (modules_loaded_ && !force) return true;
  // What was read of the modules may no longer hold once they are listed again.
  page_cache_.Clear();
  module_infos_.clear();

  const char* path = nullptr;
  std::string built;
  if (options_ & kOptionSearchPath) {
    if (search_path_) built += *search_path_ + ";";
    built += ".;";
    char buffer[1024];
    DWORD n = GetCurrentDirectoryA(sizeof(buffer), buffer);
    if (n > 0 && n < sizeof(buffer)) built += std::string(buffer, n) + ";";
    char exe[1024];
    n = GetModuleFileNameA(nullptr, exe, sizeof(exe));
    if (n > 0 && n < sizeof(exe)) {
      std::string folder(exe, n);
      const size_t cut = folder.find_last_of("\\/:");
      folder.resize(cut == std::string::npos ? 0 : cut);
      if (!folder.empty()) built += folder + ";";
    }
    n = GetEnvironmentVariableA("SYSTEMROOT", buffer, sizeof(buffer));
    if (n > 0 && n < sizeof(buffer)) {
      built += std::string(buffer, n) + ";" + std::string(buffer, n) + "\\system32;";
    }
    if (built.size() >= 4096) built.resize(4095);
    path = built.c_str();
  }
  if (!engine_->Init(path)) {
    OnDbgHelpErr("Error while initializing dbghelp.dll", 0, 0);
    SetLastError(ERROR_DLL_INIT_FAILED);
    return false;
  }
  if (LoadModulesFromToolhelp()) return true;
  return LoadModulesFromPsapi();
}

bool NativeStackWalker::LoadModulesFromToolhelp() {
  using CreateSnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
  using ModuleWalkFn = BOOL(WINAPI*)(HANDLE, tagMODULEENTRY32*);  // the 8-bit entry
  // The library and the snapshot are the walker's, so that a registration
  // abandoned by the guard does not leak them (AbandonWalk).
  for (const char* library_name : {"kernel32.dll", "tlhelp32.dll"}) {
    module_list_library_.reset(LoadLibraryA(library_name));
    if (!module_list_library_) continue;
    HMODULE library = module_list_library_.get();
    auto create = reinterpret_cast<CreateSnapshotFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "CreateToolhelp32Snapshot")));
    auto first =
        reinterpret_cast<ModuleWalkFn>(reinterpret_cast<void*>(GetProcAddress(library, "Module32First")));
    auto next =
        reinterpret_cast<ModuleWalkFn>(reinterpret_cast<void*>(GetProcAddress(library, "Module32Next")));
    if (create == nullptr || first == nullptr || next == nullptr) continue;
    module_snapshot_.reset(create(TH32CS_SNAPMODULE, process_id_));
    int seen = 0;
    if (module_snapshot_) {
      const HANDLE snapshot = module_snapshot_.get();
      tagMODULEENTRY32 module = {};
      module.dwSize = sizeof(module);
      for (BOOL more = first(snapshot, &module); more; more = next(snapshot, &module)) {
        RegisterModule(module.szExePath, module.szModule,
                       WidenAddress(reinterpret_cast<uintptr_t>(module.modBaseAddr)), module.modBaseSize);
        ++seen;
        module.dwSize = sizeof(module);
      }
    }
    module_snapshot_.reset();
    module_list_library_.reset();
    if (seen > 0) modules_loaded_ = true;
    return seen > 0;
  }
  module_list_library_.reset();
  return false;
}

bool NativeStackWalker::LoadModulesFromPsapi() {
  using EnumModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
  using ModuleNameFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
  using ModuleInfoFn = BOOL(WINAPI*)(HANDLE, HMODULE, LPMODULEINFO, DWORD);
  module_list_library_.reset(LoadLibraryA("psapi.dll"));
  if (!module_list_library_) return false;
  const HMODULE library = module_list_library_.get();
  auto proc = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); };
  auto enum_modules = reinterpret_cast<EnumModulesFn>(proc("EnumProcessModules"));
  auto file_name = reinterpret_cast<ModuleNameFn>(proc("GetModuleFileNameExA"));
  auto base_name = reinterpret_cast<ModuleNameFn>(proc("GetModuleBaseNameA"));
  auto module_info = reinterpret_cast<ModuleInfoFn>(proc("GetModuleInformation"));
  constexpr DWORD kListBytes = 8096;
  std::vector<HMODULE> modules(kListBytes / sizeof(HMODULE));
  DWORD needed = 0;
  if (!enum_modules || !file_name || !base_name || !module_info ||
      !enum_modules(process_, modules.data(), kListBytes, &needed) || needed < 4 || needed > kListBytes) {
    module_list_library_.reset();
    return false;
  }
  std::vector<char> image(8096);
  std::vector<char> name(8096);
  int listed = 0;
  for (DWORD i = 0; i < needed / sizeof(HMODULE); ++i) {
    ++listed;
    MODULEINFO info = {};
    module_info(process_, modules[i], &info, sizeof(info));
    image[0] = name[0] = '\0';
    file_name(process_, modules[i], image.data(), static_cast<DWORD>(image.size()));
    base_name(process_, modules[i], name.data(), static_cast<DWORD>(name.size()));
    const DWORD result =
        RegisterModule(image.data(), name.data(), WidenAddress(reinterpret_cast<uintptr_t>(info.lpBaseOfDll)),
                       info.SizeOfImage);
    if (result != 0) OnDbgHelpErr("LoadModule", result, 0);
  }
  module_list_library_.reset();
  if (listed > 0) modules_loaded_ = true;
  return listed > 0;
}

DWORD NativeStackWalker::RegisterModule(const char* image_path, const char* module_name, uint64_t base,
                                        DWORD size) {
  std::string image;
  std::string name;
  try {
    image = image_path;
    name = module_name;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD result = 0;
  {
    CountedSymbolLock lock(*this);
    if (engine_->sym_load_module64(process_, nullptr, image.c_str(), name.c_str(), base, size) == 0) {
      result = GetLastError();
    }
  }
  page_cache_.Keep(base, base + size);
  const uint64_t file_version =
      (options_ & kOptionFileVersion) && text_look_ups_ ? ReadFileVersion(image.c_str()) : 0;

  const char* sym_type = "-unknown-";
  std::string pdb_name;
  {
    CountedSymbolLock lock(*this);
    auto* info = reinterpret_cast<IMAGEHLP_MODULE64*>(module_record_.data());
    std::memset(info, 0, module_record_.size());
    info->SizeOfStruct = kFullModuleRecordSize;
    BOOL ok = engine_->sym_get_module_info64(process_, base, info);
    if (!ok) {
      std::memset(info, 0, module_record_.size());
      info->SizeOfStruct = kShortModuleRecordSize;
      ok = engine_->sym_get_module_info64(process_, base, info);
    }
    if (ok) {
      sym_type = SymbolTypeText(info->SymType);
      pdb_name = info->CVData[0] != '\0' ? info->CVData : info->LoadedImageName;
    }
  }
  OnLoadModule(image.c_str(), name.c_str(), base, size, result, sym_type, pdb_name.c_str(), file_version);
  return result;
}

bool NativeStackWalker::WalkThread(HANDLE thread) {
  addresses_.clear();
  const bool complete = CollectReturnAddresses(thread);
  if (complete) {
    Symbolise();
    return true;
  }
  if (!addresses_.empty()) Symbolise();
  OnOutput("<Missing stacktrace information>\n");
  return false;
}

void NativeStackWalker::AbandonWalk() {
  ActiveRemotePageCache::DeactivateAll();
  page_cache_.Forget();
  runtime_reads_.Forget();
  module_snapshot_.reset();
  module_list_library_.reset();
  if (suspended_thread_ != nullptr) {
    ResumeThread(suspended_thread_);
    suspended_thread_ = nullptr;
  }
  while (held_locks_ > 0) {
    --held_locks_;
    SymbolEngineLock().unlock();
  }
}

#if !defined(__x86_64__)
namespace {

bool ReadRemoteWord(void* context, uint32_t address, uint32_t* value) {
  // Read through the system even in the handler's own process, so that a
  // broken link is a failed read and not a fault.
  size_t got = 0;
  return static_cast<RemotePageCache*>(context)->Read(address, value, sizeof(*value), &got);
}

}  // namespace
#endif

BOOL CALLBACK NativeStackWalker::ReadThroughCache(HANDLE process, DWORD64 address, PVOID buffer, DWORD size,
                                                  LPDWORD bytes_read) {
  size_t got = 0;
  const bool ok = ReadRemoteMemoryCached(process, address, buffer, size, &got);
  if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(got);
  return ok ? TRUE : FALSE;
}

namespace {

// What NtQueryInformationThread gives for ThreadBasicInformation (0).
struct ThreadBasicInformation {
  LONG exit_status;
  void* teb;
  void* client_id[2];  // process id, thread id
  KAFFINITY affinity_mask;
  LONG priority;
  LONG base_priority;
};
static_assert(sizeof(void*) != 4 || sizeof(ThreadBasicInformation) == 28, "x86 thread basic information");

// The thread's id and the address of its thread block, in one call (each
// call about another process's thread is a trip through the system).
bool QueryThread(HANDLE thread, DWORD* id, void** teb) {
  using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  ThreadBasicInformation info = {};
  if (query == nullptr || query(thread, 0, &info, sizeof(info), nullptr) < 0) return false;
  *id = static_cast<DWORD>(reinterpret_cast<uintptr_t>(info.client_id[1]));
  *teb = info.teb;
  return true;
}

#if defined(__x86_64__)
// How far below the top of its stack a thread's outermost frame may lie.
constexpr uint64_t kOutermostFrameReach = 4096;

// The bounds of a thread's stack in `process`, from its thread block.
bool ReadStackBounds(HANDLE process, void* teb, uint64_t* base, uint64_t* limit) {
  NT_TIB tib = {};
  SIZE_T got = 0;
  if (teb == nullptr || !ReadProcessMemory(process, teb, &tib, sizeof(tib), &got) || got != sizeof(tib)) {
    return false;
  }
  *base = reinterpret_cast<uintptr_t>(tib.StackBase);
  *limit = reinterpret_cast<uintptr_t>(tib.StackLimit);
  return *limit < *base;
}
#endif

}  // namespace

bool NativeStackWalker::CollectReturnAddresses(HANDLE thread) {
#if defined(__x86_64__)
  // The unwinder needs the modules; loading them is slow, so not while the
  // thread is held.
  if (!modules_loaded_) LoadModules(false);
#endif
  DWORD thread_id = 0;
  void* teb = nullptr;
  if (!QueryThread(thread, &thread_id, &teb)) thread_id = GetThreadId(thread);
  CONTEXT context = {};
  const bool own_thread = thread_id == GetCurrentThreadId();
  if (!own_thread) {
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) return false;
    suspended_thread_ = thread;
  }
#if defined(__x86_64__)
  // Asked while the thread comes to a stop: the system stops it after
  // SuspendThread returns, and GetThreadContext waits for that.
  uint64_t stack_base = 0;
  uint64_t stack_limit = 0;
  const bool stack_known = ReadStackBounds(process_, teb, &stack_base, &stack_limit);
#endif
  if (own_thread) {
    RtlCaptureContext(&context);
  } else {
    context.ContextFlags = CONTEXT_FULL;
    if (!GetThreadContext(thread, &context)) {
      ResumeThread(thread);
      suspended_thread_ = nullptr;
      return false;
    }
  }

  bool complete = true;
#if defined(__x86_64__)
  // x64 code keeps no frame-pointer chain; the unwind tables of the modules
  // (registered before the thread was suspended) say where each caller's
  // frame lies.
  if (engine_->loaded()) {
    STACKFRAME64 frame = {};
    frame.AddrPC.Offset = context.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;
    CountedSymbolLock lock(*this);
    page_cache_.Forget();
    if (stack_known) page_cache_.SetStack(stack_limit, stack_base);
    ActiveRemotePageCache reads(page_cache_);
    if (StepOutOfLeaf(context)) {
      frame.AddrPC.Offset = context.Rip;
      frame.AddrStack.Offset = context.Rsp;
    }
    uint64_t last_return = 1;
    uint64_t last_stack = 0;
    while (addresses_.size() < kMaxReturnAddresses &&
           engine_->stack_walk64(IMAGE_FILE_MACHINE_AMD64, process_, thread, &frame, &context,
                                 &ReadThroughCache, engine_->sym_function_table_access64,
                                 engine_->sym_get_module_base64, nullptr) &&
           frame.AddrPC.Offset != 0) {
      addresses_.push_back(static_cast<uintptr_t>(frame.AddrPC.Offset));
      last_return = frame.AddrReturn.Offset;
      last_stack = frame.AddrStack.Offset;
    }
    // The unwinder also stops when it cannot go on (an unreadable stack, a
    // frame it cannot unwind), and then gives its last frame no caller just
    // as it does the thread's outermost one: only that one lies at the top
    // of the thread's stack. Without the stack's bounds there is nothing to
    // tell the two apart: a frame without a caller ends the walk.
    const bool at_top =
        !stack_known || (last_stack <= stack_base && stack_base - last_stack <= kOutermostFrameReach);
    complete =
        addresses_.size() >= kMaxReturnAddresses || (!addresses_.empty() && last_return == 0 && at_top);
    page_cache_.Forget();
  } else {
    complete = false;
  }
#else
  page_cache_.Forget();
  complete = WalkFramePointerChain(context.Eip, context.Ebp, ReadRemoteWord, &page_cache_, &addresses_);
  page_cache_.Forget();
#endif

  if (suspended_thread_ != nullptr) {
    ResumeThread(suspended_thread_);
    suspended_thread_ = nullptr;
  }
  return complete;
}

#if defined(__x86_64__)
bool NativeStackWalker::StepOutOfLeaf(CONTEXT& context) {
  // A function without unwind data is a leaf: it keeps its caller's address
  // at the stack pointer. Every waiting thread stops in a system call stub,
  // and under Wine those stubs have none; for such a frame the symbol
  // library's unwinder first loads the whole module's debug information
  // (megabytes of it for Wine's own modules) to look for other unwind data,
  // and then takes the same step. A module that names a debug-information
  // file is loaded anyway, so it is left to the unwinder.
  const uint64_t pc = context.Rip;
  const uint64_t base = engine_->sym_get_module_base64(process_, pc);
  if (base == 0 || engine_->sym_function_table_access64(process_, pc) != nullptr ||
      ImageNamesDebugFile(base)) {
    return false;
  }
  uint64_t caller = 0;
  size_t got = 0;
  if (!page_cache_.Read(context.Rsp, &caller, sizeof(caller), &got) || caller <= 1) return false;
  // The unwinder looks a caller up by its return address itself only for
  // the first frame it is given: a call that ends its function returns to
  // the next one, and then the step is left to it.
  if (engine_->sym_get_module_base64(process_, caller) != 0 &&
      engine_->sym_function_table_access64(process_, caller) !=
          engine_->sym_function_table_access64(process_, caller - 1)) {
    return false;
  }
  addresses_.push_back(static_cast<uintptr_t>(pc));
  context.Rip = caller;
  context.Rsp += sizeof(caller);
  return true;
}
#endif

void NativeStackWalker::Symbolise() {
  if (!modules_loaded_) LoadModules(false);
  if (!engine_->loaded()) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return;
  }
  CountedSymbolLock lock(*this);
  // The managed runtime reads the same few pages of its tables for every
  // address; what it reads may change while the engine runs, so only for
  // this list.
  runtime_reads_.Forget();
  ActiveRemotePageCache runtime_reads(runtime_reads_);
  bool reloaded = false;
  CallstackEntry& entry = *entry_;
  bool reported = false;
  for (size_t i = 0; i < addresses_.size(); ++i) {
    const uint64_t address = WidenAddress(addresses_[i]);
    if (address == 0) break;
    entry.Reset(address);

    if (!ResolveSpecialFrame(addresses_[i], entry)) {
      if (text_look_ups_) {
        LookUpName(entry, reloaded);
        FillModuleInfo(entry);
      } else {
        // As the name look-up would: a module loaded after the list was
        // taken is found by loading the list again, once per pass.
        if (!reloaded && engine_->sym_get_module_base64(process_, address) == 0) {
          reloaded = true;
          LoadModules(true);
        }
        FillModuleInfoOncePerModule(entry);
      }
    }
    OnCallstackEntry(i == 0 ? CallstackEventType::kFirstEntry : CallstackEventType::kNextEntry, entry);
    reported = true;
  }
  if (reported) OnCallstackEntry(CallstackEventType::kLastEntry, entry);
  runtime_reads_.Forget();
}

void NativeStackWalker::LookUpName(CallstackEntry& entry, bool& reloaded) {
  const uint64_t address = entry.address;
  auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(symbol_record_.data());
  std::memset(symbol, 0, symbol_record_.size());
  symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  symbol->MaxNameLength = kEntryTextSize;
  bool found = engine_->sym_get_sym_from_addr64(process_, address, &entry.offset_from_symbol, symbol);
  if (!found) {
    // A module loaded after the list was taken is found by loading the
    // list again, once per pass. An address inside a known module only
    // lacks a symbol: reloading every module cannot help it and costs
    // far more than the whole lookup.
    if (!reloaded && engine_->sym_get_module_base64(process_, address) == 0) {
      reloaded = true;
      LoadModules(true);
    }
    found = engine_->sym_get_sym_from_addr64(process_, address, &entry.offset_from_symbol, symbol);
    if (!found) OnDbgHelpErr("SymGetSymFromAddr64", GetLastError(), address);
  }
  if (found) {
    CopyEntryText(entry.name, kEntryTextSize, symbol->Name);
    engine_->undecorate_symbol_name(symbol->Name, entry.undecorated_name, kEntryTextSize, UNDNAME_NAME_ONLY);
    engine_->undecorate_symbol_name(symbol->Name, entry.undecorated_full_name, kEntryTextSize,
                                    UNDNAME_COMPLETE);
  }
  if (engine_->sym_get_line_from_addr64 != nullptr) {
    IMAGEHLP_LINE64 line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD displacement = 0;
    if (engine_->sym_get_line_from_addr64(process_, address, &displacement, &line)) {
      entry.offset_from_line = displacement;
      entry.line_number = line.LineNumber;
      if (line.FileName != nullptr) CopyEntryText(entry.line_file_name, kEntryTextSize, line.FileName);
    }
  }
}

bool NativeStackWalker::ImageNamesDebugFile(uint64_t base) {
  // The image's headers as they lie in the engine's memory (kept for the
  // run, as module images are); what cannot be read may name one.
  size_t got = 0;
  IMAGE_DOS_HEADER dos = {};
  if (!page_cache_.Read(base, &dos, sizeof(dos), &got) || dos.e_magic != IMAGE_DOS_SIGNATURE) return true;
  const uint64_t nt = base + static_cast<uint32_t>(dos.e_lfanew);
  IMAGE_NT_HEADERS32 headers32 = {};
  if (!page_cache_.Read(nt, &headers32, sizeof(headers32), &got) ||
      headers32.Signature != IMAGE_NT_SIGNATURE) {
    return true;
  }
  IMAGE_DATA_DIRECTORY directory = {};
  if (headers32.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    if (headers32.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DEBUG) return false;
    directory = headers32.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
  } else if (headers32.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    IMAGE_NT_HEADERS64 headers64 = {};
    if (!page_cache_.Read(nt, &headers64, sizeof(headers64), &got)) return true;
    if (headers64.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DEBUG) return false;
    directory = headers64.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
  } else {
    return true;
  }
  const size_t entries = directory.Size / sizeof(IMAGE_DEBUG_DIRECTORY);
  for (size_t i = 0; i < entries && i < 64; ++i) {
    IMAGE_DEBUG_DIRECTORY entry = {};
    if (!page_cache_.Read(base + directory.VirtualAddress + i * sizeof(entry), &entry, sizeof(entry), &got)) {
      return true;
    }
    if (entry.Type == IMAGE_DEBUG_TYPE_CODEVIEW) return true;
  }
  return false;
}

void NativeStackWalker::FillModuleInfoOncePerModule(CallstackEntry& entry) {
  const uint64_t base = engine_->sym_get_module_base64(process_, entry.address);
  auto known = base != 0 ? module_infos_.find(base) : module_infos_.end();
  if (known == module_infos_.end()) {
    if (base != 0 && ImageNamesDebugFile(base)) {
      // The module's information after its symbols are loaded, as the
      // frames' names would have loaded them: the debug-information file's
      // identity may only be known then. An image that names no such file
      // has none to learn, and its symbols (slow to load) are left alone.
      auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(symbol_record_.data());
      std::memset(symbol, 0, symbol_record_.size());
      symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
      symbol->MaxNameLength = kEntryTextSize;
      DWORD64 displacement = 0;
      engine_->sym_get_sym_from_addr64(process_, entry.address, &displacement, symbol);
    }
    // A module without information (or no module at all) is asked again
    // each time, as its failure is reported each time.
    if (!FillModuleInfo(entry) || base == 0) return;
    ModuleInfo info;
    info.symbol_type = entry.symbol_type;
    info.module_name = entry.module_name;
    info.image_base = entry.image_base;
    info.loaded_image_name = entry.loaded_image_name;
    info.pdb_name = entry.pdb_name;
    info.pdb_identifier = entry.pdb_identifier;
    module_infos_.emplace(base, std::move(info));
    return;
  }
  const ModuleInfo& info = known->second;
  entry.symbol_type = info.symbol_type;
  entry.symbol_type_text = SymbolTypeText(info.symbol_type);
  CopyEntryText(entry.module_name, kEntryTextSize, info.module_name.c_str());
  entry.image_base = info.image_base;
  CopyEntryText(entry.loaded_image_name, kEntryTextSize, info.loaded_image_name.c_str());
  CopyEntryText(entry.pdb_name, kEntryTextSize, info.pdb_name.c_str());
  CopyEntryText(entry.pdb_identifier, kPdbIdentifierSize, info.pdb_identifier.c_str());
}

bool NativeStackWalker::FillModuleInfo(CallstackEntry& entry) {
  auto* info = reinterpret_cast<IMAGEHLP_MODULE64*>(module_record_.data());
  std::memset(info, 0, module_record_.size());
  info->SizeOfStruct = kFullModuleRecordSize;
  BOOL ok = engine_->sym_get_module_info64(process_, entry.address, info);
  const bool full_record = ok != FALSE;
  if (!ok) {
    std::memset(info, 0, module_record_.size());
    info->SizeOfStruct = kShortModuleRecordSize;
    ok = engine_->sym_get_module_info64(process_, entry.address, info);
  }
  if (!ok) {
    OnDbgHelpErr("SymGetModuleInfo64", GetLastError(), entry.address);
    return false;
  }
  entry.symbol_type = info->SymType;
  entry.symbol_type_text = SymbolTypeText(info->SymType);
  CopyEntryText(entry.module_name, kEntryTextSize, info->ModuleName);
  entry.image_base = info->BaseOfImage;
  CopyEntryText(entry.loaded_image_name, kEntryTextSize, info->LoadedImageName);
  CopyEntryText(entry.pdb_name, kEntryTextSize, info->CVData);
  // Only the long record carries the identity; an image without CodeView
  // data (all zero) has none rather than a string of zeros.
  if (full_record) {
    uint8_t signature[16];
    std::memcpy(signature, &info->PdbSig70, sizeof(signature));
    bool any = info->PdbAge != 0;
    for (uint8_t b : signature) any = any || b != 0;
    if (any)
      CopyEntryText(entry.pdb_identifier, kPdbIdentifierSize,
                    FormatPdbIdentifier(signature, info->PdbAge).c_str());
  }
  return true;
}

}  // namespace nelko
