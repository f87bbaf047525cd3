#include "base/startup.h"

#include <algorithm>
#include <functional>
#include <vector>

namespace nelko {
namespace {

std::vector<StartupEntry*> SortedEntries(StartupEntry* head) {
  std::vector<StartupEntry*> entries;
  for (StartupEntry* e = head; e != nullptr; e = e->next) entries.push_back(e);
  std::sort(entries.begin(), entries.end(), [](const StartupEntry* a, const StartupEntry* b) {
    if (a->order != b->order) return a->order < b->order;
    return std::less<const StartupEntry*>()(a, b);
  });
  return entries;
}

}  // namespace

StartupEntry*& StartupListHead() {
  // A function-local static is initialised on first use, so static
  // initialisers in other files may link entries in any order.
  static StartupEntry* head = nullptr;
  return head;
}

void LinkStartupEntry(StartupEntry*& head, StartupEntry* entry) {
  entry->previous = nullptr;
  entry->next = head;
  if (head != nullptr) head->previous = entry;
  head = entry;
}

void UnlinkStartupEntry(StartupEntry*& head, StartupEntry* entry) {
  if (entry->previous != nullptr) {
    entry->previous->next = entry->next;
  } else if (head == entry) {
    head = entry->next;
  }
  if (entry->next != nullptr) entry->next->previous = entry->previous;
  entry->next = nullptr;
  entry->previous = nullptr;
}

void RunStartupEntries(StartupEntry* head) {
  for (StartupEntry* e : SortedEntries(head)) {
    if (e->init != nullptr && !e->initialised) e->init(e->user_data);
    e->initialised = true;
  }
}

void RunShutdownEntries(StartupEntry* head) {
  std::vector<StartupEntry*> entries = SortedEntries(head);
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    StartupEntry* e = *it;
    if (e->shutdown != nullptr && e->initialised) e->shutdown(e->user_data);
    e->initialised = false;
  }
}

StartupRegistration::StartupRegistration(int32_t order, void (*init)(void*), void (*shutdown)(void*),
                                         void* user_data) {
  entry_.order = order;
  entry_.init = init;
  entry_.shutdown = shutdown;
  entry_.user_data = user_data;
  LinkStartupEntry(StartupListHead(), &entry_);
}

StartupRegistration::~StartupRegistration() { UnlinkStartupEntry(StartupListHead(), &entry_); }

}  // namespace nelko
