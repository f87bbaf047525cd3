#pragma once
// Process-wide start-up registrations: objects that must exist for the whole
// run link an entry here (usually from a static initialiser); the entry point
// runs the init callbacks before the mode and the shutdown callbacks after it.
#include <cstdint>

namespace nelko {

struct StartupEntry {
  int32_t order = 0;  // smaller runs earlier at start-up and later at shut-down
  void* user_data = nullptr;
  void (*init)(void*) = nullptr;
  void (*shutdown)(void*) = nullptr;
  bool initialised = false;
  StartupEntry* next = nullptr;
  StartupEntry* previous = nullptr;
};

// The process-wide list. Tests pass a list head of their own.
StartupEntry*& StartupListHead();

// Links an entry at the head of a list, or unlinks it, repairing both neighbours or the head.
void LinkStartupEntry(StartupEntry*& head, StartupEntry* entry);
void UnlinkStartupEntry(StartupEntry*& head, StartupEntry* entry);

// Walk the list sorted by order, then by address (start-up first to last,
// shut-down last to first).
void RunStartupEntries(StartupEntry* head);
void RunShutdownEntries(StartupEntry* head);
inline void RunStartupEntries() { RunStartupEntries(StartupListHead()); }
inline void RunShutdownEntries() { RunShutdownEntries(StartupListHead()); }

// A static registration: declare one at namespace scope.
class StartupRegistration {
 public:
  StartupRegistration(int32_t order, void (*init)(void*), void (*shutdown)(void*), void* user_data = nullptr);
  StartupRegistration(const StartupRegistration&) = delete;
  StartupRegistration& operator=(const StartupRegistration&) = delete;
  ~StartupRegistration();

 private:
  StartupEntry entry_;
};

}  // namespace nelko
