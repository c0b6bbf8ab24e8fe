#include "netlist/netlist.h"

#include <cstdlib>
#include <cstring>

#include "netlist/netlist_alloc.h"

namespace {

network_entry *head = nullptr;
network_entry *tail = nullptr;
network_entry *cursor = nullptr;

void *zeroed_alloc(std::size_t count, std::size_t size) { return calloc(count, size); }

netlist_internal::entry_alloc_fn entry_alloc = zeroed_alloc;

}  // namespace

netlist_internal::entry_alloc_fn netlist_internal::set_entry_alloc(entry_alloc_fn fn) {
  entry_alloc_fn previous = entry_alloc;
  entry_alloc = fn;
  return previous;
}

network_entry *list_append_new() {
  auto *entry = static_cast<network_entry *>(entry_alloc(1, sizeof(network_entry)));
  if (entry == nullptr) return nullptr;
  if (tail == nullptr)
    head = entry;
  else
    tail->next = entry;
  tail = entry;
  return entry;
}

network_entry *list_first() {
  cursor = head;
  return cursor;
}

network_entry *list_next() {
  if (cursor == nullptr) return nullptr;
  cursor = cursor->next;
  return cursor;
}

network_entry *list_find_bssid(const char *bssid) {
  for (network_entry *e = head; e != nullptr; e = e->next)
    if (strcmp(e->bssid, bssid) == 0) return e;
  return nullptr;
}

void list_clear() {
  network_entry *e = head;
  head = tail = cursor = nullptr;
  while (e != nullptr) {
    network_entry *next = e->next;
    free(e);
    e = next;
  }
}
