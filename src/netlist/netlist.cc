// SPDX-License-Identifier: MIT
#include "netlist/netlist.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "netlist/netlist_alloc.h"

namespace {

network_entry *head = nullptr;
network_entry *tail = nullptr;
network_entry *cursor = nullptr;

// A block comes cleared: a large one straight from the kernel's zeroed
// pages, with no clearing pass at all.
void *entry_memory(std::size_t count, std::size_t size) { return calloc(count, size); }

netlist_internal::entry_alloc_fn entry_alloc = entry_memory;

// Every allocation of entries, in list order, so that list_clear frees
// blocks rather than entries.
void **blocks = nullptr;
std::size_t block_count = 0;
std::size_t block_capacity = 0;

// ---------------------------------------------------------------- index

// Open addressing with linear probing over the address texts, at most half
// full: the first entry of each text.
struct slot {
  network_entry *entry;  // null: free
};
slot *table = nullptr;
std::size_t table_mask = 0;  // capacity - 1; capacity a power of two
std::size_t table_used = 0;
network_entry *indexed = nullptr;  // the last entry the index has taken in
bool index_failed = false;         // out of memory once: search linearly until cleared

constexpr char kHexUpper[] = "0123456789ABCDEF";

bool same_text(const network_entry *entry, const char *text) {
  return strncmp(entry->bssid, text, sizeof entry->bssid) == 0;
}

// The home slot of a text, from its last eight characters (within a bssid's
// size), where addresses differ most.
std::size_t home_of(const char *text) {
  const std::size_t n = strnlen(text, sizeof network_entry{}.bssid);
  uint32_t hash = 2166136261u;
  for (std::size_t i = n > 8 ? n - 8 : 0; i < n; ++i)
    hash = (hash ^ static_cast<unsigned char>(text[i])) * 16777619u;
  return hash & table_mask;
}

void drop_index() {
  free(table);
  table = nullptr;
  table_mask = 0;
  table_used = 0;
  indexed = nullptr;
}

// Puts the entry in a table with room; keeps an earlier entry of its text.
void place(network_entry *entry) {
  for (std::size_t i = home_of(entry->bssid);; i = (i + 1) & table_mask) {
    if (table[i].entry == nullptr) {
      table[i].entry = entry;
      ++table_used;
      return;
    }
    if (same_text(table[i].entry, entry->bssid)) return;
  }
}

// Room for one more entry; false when the memory cannot be had.
bool make_room() {
  std::size_t capacity = table == nullptr ? 0 : table_mask + 1;
  if ((table_used + 1) * 2 <= capacity) return true;
  std::size_t grown = capacity == 0 ? 64 : capacity * 2;
  auto *fresh = static_cast<slot *>(calloc(grown, sizeof(slot)));
  if (fresh == nullptr) return false;
  slot *old = table;
  table = fresh;
  table_mask = grown - 1;
  table_used = 0;
  for (std::size_t i = 0; i < capacity; ++i)
    if (old[i].entry != nullptr) place(old[i].entry);
  free(old);
  return true;
}

// Takes in the entries appended since the last lookup; false when the index
// could not be kept (the caller then compares texts).
bool catch_up() {
  if (index_failed) return false;
  network_entry *next = head;
  if (indexed != nullptr) next = indexed->next;
  while (next != nullptr) {
    if (!make_room()) {
      drop_index();
      index_failed = true;
      return false;
    }
    place(next);
    indexed = next;
    next = next->next;
  }
  return true;
}

network_entry *find_text(const char *bssid) {
  for (network_entry *e = head; e != nullptr; e = e->next)
    if (strcmp(e->bssid, bssid) == 0) return e;
  return nullptr;
}

}  // namespace

netlist_internal::entry_alloc_fn netlist_internal::set_entry_alloc(entry_alloc_fn fn) {
  entry_alloc_fn previous = entry_alloc;
  entry_alloc = fn;
  return previous;
}

namespace {

// A cleared block of count records of size bytes, kept in the block list
// so that list_clear frees it; null when out of memory.
void *new_block(std::size_t count, std::size_t size) {
  if (block_count == block_capacity) {
    std::size_t grown = block_capacity == 0 ? 8 : block_capacity * 2;
    void *more = realloc(static_cast<void *>(blocks), grown * sizeof(void *));
    if (more == nullptr) return nullptr;
    blocks = static_cast<void **>(more);
    block_capacity = grown;
  }
  void *block = entry_alloc(count, size);
  if (block != nullptr) blocks[block_count++] = block;
  return block;
}

}  // namespace

network_survey *list_add_survey(network_entry *entry) {
  if (entry->survey == nullptr)
    entry->survey = static_cast<network_survey *>(new_block(1, sizeof(network_survey)));
  return entry->survey;
}

network_entry *list_append_block(std::size_t count) {
  if (count == 0) return nullptr;
  auto *first = static_cast<network_entry *>(new_block(count, sizeof(network_entry)));
  if (first == nullptr) return nullptr;
  for (std::size_t i = 0; i + 1 < count; ++i) first[i].next = &first[i + 1];
  if (tail == nullptr)
    head = first;
  else
    tail->next = first;
  tail = &first[count - 1];
  return first;
}

void list_truncate(network_entry *last) {
  if (last == nullptr) {
    head = tail = cursor = nullptr;
  } else {
    last->next = nullptr;
    tail = last;
  }
  // The index may hold entries that left the list: it is built anew.
  if (table != nullptr) drop_index();
  indexed = nullptr;
}

network_entry *list_append_new() { return list_append_block(1); }

network_entry *list_first() {
  cursor = head;
  return cursor;
}

network_entry *list_next() {
  if (cursor == nullptr) return nullptr;
  cursor = cursor->next;
  return cursor;
}

void list_bssid_text(const unsigned char addr[6], char text[18]) {
  for (std::size_t i = 0; i < 6; ++i) {
    text[3 * i] = kHexUpper[addr[i] >> 4];
    text[3 * i + 1] = kHexUpper[addr[i] & 0xf];
    text[3 * i + 2] = i < 5 ? ':' : '\0';
  }
}

network_entry *list_find_addr(const unsigned char addr[6]) {
  char text[18];
  list_bssid_text(addr, text);
  return list_find_bssid(text);
}

network_entry *list_find_bssid(const char *bssid) {
  if (!catch_up()) return find_text(bssid);
  if (table == nullptr) return nullptr;  // nothing indexed yet
  for (std::size_t i = home_of(bssid); table[i].entry != nullptr; i = (i + 1) & table_mask)
    if (same_text(table[i].entry, bssid)) return table[i].entry;
  return nullptr;
}

void list_clear() {
  head = tail = cursor = nullptr;
  for (std::size_t i = 0; i < block_count; ++i) free(blocks[i]);
  free(static_cast<void *>(blocks));
  blocks = nullptr;
  block_count = 0;
  block_capacity = 0;
  drop_index();
  index_failed = false;
}
