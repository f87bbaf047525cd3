#pragma once
// Walks the native call stack of one thread of another process and names
// every frame with the symbols of that process's modules. The base hooks only
// format text lines; subclasses turn the entries into something else.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/scoped_handle_win.h"
#include "capture/callstack_entry.h"
#include "capture/remote_page_cache_win.h"
#include "capture/symbol_engine_win.h"

namespace nelko {

class NativeStackWalker {
 public:
  static constexpr uint32_t kOptionFileVersion = 0x08;  // read each module's file version
  static constexpr uint32_t kOptionSearchPath = 0x10;   // build a symbol search path
  static constexpr uint32_t kCrashOptions = 0x3F;       // what the crash pipeline passes

  NativeStackWalker(HANDLE process, DWORD process_id, uint32_t options, const char* search_path);
  virtual ~NativeStackWalker();
  NativeStackWalker(const NativeStackWalker&) = delete;
  NativeStackWalker& operator=(const NativeStackWalker&) = delete;

  // Initialises symbols and registers the target's modules; without `force`
  // nothing happens once they are loaded.
  bool LoadModules(bool force);

  // Collects, symbolises and reports the frames of `thread`. False when the
  // frame chain was not followed to its end.
  bool WalkThread(HANDLE thread);

  // After a walk that never returned (the walk guard jumped back over it):
  // resumes the thread it had suspended, releases the symbol lock held by
  // the interrupted pass and the module list of an interrupted (re)load.
  // Everything else the walk uses is owned by the walker itself, so nothing
  // leaks.
  void AbandonWalk();

  bool modules_loaded() const { return modules_loaded_; }

  // The hooks, in slot order after the destructor.
  virtual void OnSymInit(const char* search_path, DWORD sym_options, const char* user_name);
  virtual void OnLoadModule(const char* image_path, const char* module_name, uint64_t base, DWORD size,
                            DWORD result, const char* sym_type, const char* pdb_name, uint64_t file_version);
  virtual bool ShouldLoadModules() { return true; }
  virtual void OnCallstackEntry(CallstackEventType type, CallstackEntry& entry);
  virtual void OnDbgHelpErr(const char* function, DWORD error, uint64_t address);
  virtual void OnOutput(const char* text);
  virtual bool ResolveSpecialFrame(uintptr_t address, CallstackEntry& entry);

 protected:
  // Formats a line of at most 2047 characters and hands it to OnOutput.
  void Output(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // For a subclass that drops the walker's text: leaves out the look-ups
  // whose results only the text shows (each frame's symbol name and source
  // line, each module's file version). Every frame's module is still looked
  // up, once its module's symbols are loaded, as a name look-up would have
  // loaded them; what a module's information says is then read once.
  void LeaveOutTextOnlyLookUps() { text_look_ups_ = false; }

 private:
  friend class SymbolEngine;
  // The symbol lock, counted so that AbandonWalk can release what an
  // interrupted walk still holds.
  class CountedSymbolLock {
   public:
    explicit CountedSymbolLock(NativeStackWalker& walker) : walker_(walker) {
      SymbolEngineLock().lock();
      ++walker_.held_locks_;
    }
    ~CountedSymbolLock() {
      --walker_.held_locks_;
      SymbolEngineLock().unlock();
    }
    CountedSymbolLock(const CountedSymbolLock&) = delete;
    CountedSymbolLock& operator=(const CountedSymbolLock&) = delete;

   private:
    NativeStackWalker& walker_;
  };

  bool LoadModulesFromToolhelp();
  bool LoadModulesFromPsapi();
  DWORD RegisterModule(const char* image_path, const char* module_name, uint64_t base, DWORD size);
  bool CollectReturnAddresses(HANDLE thread);
#if defined(__x86_64__)
  // Steps out of a first frame that has no unwind data, as the unwinder
  // would, when that saves it loading the module's debug information.
  bool StepOutOfLeaf(CONTEXT& context);
#endif
  void Symbolise();
  void LookUpName(CallstackEntry& entry, bool& reloaded);
  // False when the module information could not be read (reported).
  bool FillModuleInfo(CallstackEntry& entry);
  // FillModuleInfo once per module: the first frame in a module loads its
  // symbols and reads its information, later ones copy it.
  void FillModuleInfoOncePerModule(CallstackEntry& entry);
  // Whether the image at `base` records a debug-information file (a
  // CodeView entry), or its headers cannot be read to tell.
  bool ImageNamesDebugFile(uint64_t base);

  static BOOL CALLBACK ReadThroughCache(HANDLE process, DWORD64 address, PVOID buffer, DWORD size,
                                        LPDWORD bytes_read);

  std::unique_ptr<SymbolEngine> engine_;
  HANDLE process_;
  DWORD process_id_;
  bool modules_loaded_ = false;
  std::optional<std::string> search_path_;
  uint32_t options_;

  // Working state of a walk, kept here rather than on the stack so that a
  // walk abandoned by the guard leaves nothing behind.
  std::vector<uintptr_t> addresses_;
  std::unique_ptr<CallstackEntry> entry_;
  std::vector<uint8_t> symbol_record_;
  std::vector<uint8_t> module_record_;
  bool text_look_ups_ = true;
  // What each module's information said, by module base, since the modules
  // were last (re)loaded.
  struct ModuleInfo {
    uint32_t symbol_type = 0;
    std::string module_name;
    uint64_t image_base = 0;
    std::string loaded_image_name;
    std::string pdb_name;
    std::string pdb_identifier;
  };
  std::unordered_map<uint64_t, ModuleInfo> module_infos_;
  // The unwinder's reads: module images for the whole run, the rest per
  // thread. The managed runtime's reads: per symbolised list.
  RemotePageCache page_cache_;
  RemotePageCache runtime_reads_;
  HANDLE suspended_thread_ = nullptr;
  int held_locks_ = 0;
  // The library that lists the target's modules and its snapshot, held
  // only while the modules are (re)loaded.
  ScopedLibrary module_list_library_;
  ScopedHandle module_snapshot_;
};

}  // namespace nelko
