#include "capture/symbol_engine_win.h"

#include <cstdlib>
#include <cstring>

#include "capture/native_stack_walker_win.h"

namespace nelko {

RecursiveMutex& SymbolEngineLock() {
  static RecursiveMutex mutex;
  return mutex;
}

namespace {

bool FileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

template <class Fn>
void LookUp(HMODULE library, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace

SymbolEngine::~SymbolEngine() {
  if (initialised_ && sym_cleanup != nullptr) {
    RecursiveMutexLock lock(SymbolEngineLock());
    sym_cleanup(process_);
  }
}

void SymbolEngine::LoadLibraryOnce() {
  if (library_) return;
  // A "<handler>.local" file asks for the library beside the program (DLL
  // redirection); then no other copy is looked for.
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path) - 8);
  bool redirected = false;
  if (n > 0 && n < sizeof(path) - 8) {
    std::strcat(path, ".local");
    redirected = FileExists(path);
  }
  if (!redirected) {
    const char* program_files = std::getenv("ProgramFiles");
    if (program_files != nullptr) {
      static const char* const kFolders[] = {"\\Debugging Tools for Windows (x86)\\dbghelp.dll",
                                             "\\Debugging Tools for Windows\\dbghelp.dll"};
      for (const char* folder : kFolders) {
        if (std::strlen(program_files) + std::strlen(folder) >= sizeof(path)) continue;
        std::strcpy(path, program_files);
        std::strcat(path, folder);
        if (FileExists(path)) {
          library_.reset(LoadLibraryA(path));
          if (library_) break;
        }
      }
    }
  }
  if (!library_) library_.reset(LoadLibraryA("dbghelp.dll"));
}

bool SymbolEngine::LookUpEntryPoints() {
  HMODULE m = library_.get();
  LookUp(m, "SymInitialize", sym_initialize);
  LookUp(m, "SymCleanup", sym_cleanup);
  LookUp(m, "SymGetOptions", sym_get_options);
  LookUp(m, "SymSetOptions", sym_set_options);
  LookUp(m, "SymGetSymFromAddr64", sym_get_sym_from_addr64);
  LookUp(m, "SymGetModuleInfo64", sym_get_module_info64);
  LookUp(m, "SymLoadModule64", sym_load_module64);
  LookUp(m, "UnDecorateSymbolName", undecorate_symbol_name);
  LookUp(m, "StackWalk64", stack_walk64);
  LookUp(m, "SymFunctionTableAccess64", sym_function_table_access64);
  LookUp(m, "SymGetModuleBase64", sym_get_module_base64);
  LookUp(m, "SymGetLineFromAddr64", sym_get_line_from_addr64);
  LookUp(m, "SymGetSearchPath", sym_get_search_path);
  return sym_initialize && sym_cleanup && sym_get_options && sym_set_options && sym_get_sym_from_addr64 &&
         sym_get_module_info64 && sym_load_module64 && undecorate_symbol_name && stack_walk64 &&
         sym_function_table_access64 && sym_get_module_base64;
}

bool SymbolEngine::Init(const char* search_path) {
  LoadLibraryOnce();
  if (!library_) return false;
  if (!LookUpEntryPoints()) {
    initialised_ = false;
    library_.reset();
    return false;
  }
  search_path_ = search_path != nullptr ? search_path : "";

  char effective_path[2048] = {};
  DWORD options = 0;
  {
    // Counted by the walker, so that a walk abandoned in here still releases it.
    NativeStackWalker::CountedSymbolLock lock(owner_);
    if (sym_initialize(process_, search_path != nullptr ? search_path_.c_str() : nullptr, FALSE)) {
      initialised_ = true;
    } else {
      owner_.OnDbgHelpErr("SymInitialize", GetLastError(), 0);
    }
    options = sym_set_options(sym_get_options() | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES |
                              SYMOPT_FAIL_CRITICAL_ERRORS);
    if (sym_get_search_path != nullptr &&
        !sym_get_search_path(process_, effective_path, sizeof(effective_path))) {
      owner_.OnDbgHelpErr("SymGetSearchPath", GetLastError(), 0);
    }
  }
  char user_name[1024] = {};
  DWORD size = sizeof(user_name);
  GetUserNameA(user_name, &size);
  owner_.OnSymInit(effective_path, options, user_name);
  return true;
}

}  // namespace nelko
