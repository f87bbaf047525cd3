#pragma once
// The debugging-symbol library, loaded at run time, with its entry points and
// the symbol handling of one target process.
#include <windows.h>

#include <dbghelp.h>

#include <string>

#include "base/recursive_mutex.h"
#include "base/scoped_handle_win.h"

namespace nelko {

// Guards every call into the symbol library, which is not thread-safe.
// Recursive: a symbolisation pass may reload the modules.
RecursiveMutex& SymbolEngineLock();

class NativeStackWalker;

class SymbolEngine {
 public:
  using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
  using SymCleanupFn = BOOL(WINAPI*)(HANDLE);
  using SymGetOptionsFn = DWORD(WINAPI*)();
  using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
  using SymGetSymFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PIMAGEHLP_SYMBOL64);
  using SymGetModuleInfo64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PIMAGEHLP_MODULE64);
  using SymLoadModule64Fn = DWORD64(WINAPI*)(HANDLE, HANDLE, PCSTR, PCSTR, DWORD64, DWORD);
  using UnDecorateSymbolNameFn = DWORD(WINAPI*)(PCSTR, PSTR, DWORD, DWORD);
  using StackWalk64Fn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID,
                                      PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                                      PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64);
  using SymFunctionTableAccess64Fn = PVOID(WINAPI*)(HANDLE, DWORD64);
  using SymGetModuleBase64Fn = DWORD64(WINAPI*)(HANDLE, DWORD64);
  using SymGetLineFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
  using SymGetSearchPathFn = BOOL(WINAPI*)(HANDLE, PSTR, DWORD);

  SymbolEngine(NativeStackWalker& owner, HANDLE process) : owner_(owner), process_(process) {}
  // SymCleanup for the target (when initialised), then the library is freed.
  ~SymbolEngine();
  SymbolEngine(const SymbolEngine&) = delete;
  SymbolEngine& operator=(const SymbolEngine&) = delete;

  // Loads the library (once), looks up its entry points and initialises
  // symbol handling for the target with `search_path` (may be null). False
  // when there is no library or a required entry point is missing.
  bool Init(const char* search_path);
  bool loaded() const { return static_cast<bool>(library_); }

  // Required entry points.
  SymInitializeFn sym_initialize = nullptr;
  SymCleanupFn sym_cleanup = nullptr;
  SymGetOptionsFn sym_get_options = nullptr;
  SymSetOptionsFn sym_set_options = nullptr;
  SymGetSymFromAddr64Fn sym_get_sym_from_addr64 = nullptr;
  SymGetModuleInfo64Fn sym_get_module_info64 = nullptr;
  SymLoadModule64Fn sym_load_module64 = nullptr;
  UnDecorateSymbolNameFn undecorate_symbol_name = nullptr;
  StackWalk64Fn stack_walk64 = nullptr;
  SymFunctionTableAccess64Fn sym_function_table_access64 = nullptr;
  SymGetModuleBase64Fn sym_get_module_base64 = nullptr;
  // Optional: the step that uses one is skipped when it is missing.
  SymGetLineFromAddr64Fn sym_get_line_from_addr64 = nullptr;
  SymGetSearchPathFn sym_get_search_path = nullptr;

 private:
  void LoadLibraryOnce();
  bool LookUpEntryPoints();

  NativeStackWalker& owner_;
  HANDLE process_;
  ScopedLibrary library_;
  bool initialised_ = false;
  std::string search_path_;
};

}  // namespace nelko
