// SPDX-License-Identifier: MIT
#include "netlist/netlist.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "netlist/hexdigit.h"
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
// The first few in place, so that a run with a block or two needs no
// allocation for them.
constexpr std::size_t kInlineBlocks = 8;
void *inline_blocks[kInlineBlocks];
void **blocks = inline_blocks;
std::size_t block_count = 0;
std::size_t block_capacity = kInlineBlocks;

// ---------------------------------------------------------------- index

// Open addressing with linear probing over the six address bytes, at most
// half full. Only entries whose bssid is exactly the text list_bssid_text
// makes are in it (the first such entry per address); any other text can
// only be found by comparing texts.
struct slot {
  uint64_t key;
  network_entry *entry;  // null: free
};
slot *table = nullptr;
std::size_t table_mask = 0;  // capacity - 1; capacity a power of two
std::size_t table_used = 0;
network_entry *indexed = nullptr;  // the last entry the index has taken in
bool index_failed = false;         // out of memory once: search linearly until cleared

constexpr char kHexUpper[] = "0123456789ABCDEF";

uint64_t key_of(const unsigned char addr[6]) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | addr[i];
  return key;
}

// The key of a text that list_bssid_text would make; false for any other
// text. Reads no further than the first character that differs, so a
// shorter text is never read past its NUL.
bool canonical_key(const char *text, uint64_t *key) {
  uint64_t k = 0;
  for (std::size_t i = 0; i < 6; ++i) {
    // Digits and uppercase letters lie at or below 'F', lowercase above it.
    char c_hi = text[3 * i];
    unsigned char hi = hexdigit::kValue[c_hi];
    if (hi == hexdigit::kNotHex || c_hi > 'F') return false;
    char c_lo = text[3 * i + 1];
    unsigned char lo = hexdigit::kValue[c_lo];
    if (lo == hexdigit::kNotHex || c_lo > 'F') return false;
    if (text[3 * i + 2] != (i < 5 ? ':' : '\0')) return false;
    k = k << 8 | static_cast<uint64_t>(hi << 4 | lo);
  }
  *key = k;
  return true;
}

std::size_t home_of(uint64_t key) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & table_mask;
}

void drop_index() {
  free(table);
  table = nullptr;
  table_mask = 0;
  table_used = 0;
  indexed = nullptr;
}

// Puts the entry in a table with room; keeps an earlier entry of that key.
void place(uint64_t key, network_entry *entry) {
  for (std::size_t i = home_of(key);; i = (i + 1) & table_mask) {
    if (table[i].entry == nullptr) {
      table[i] = {key, entry};
      ++table_used;
      return;
    }
    if (table[i].key == key) return;
  }
}

// Room for one more key; false when the memory cannot be had.
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
    if (old[i].entry != nullptr) place(old[i].key, old[i].entry);
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
    uint64_t key;
    if (canonical_key(next->bssid, &key)) {
      if (!make_room()) {
        drop_index();
        index_failed = true;
        return false;
      }
      place(key, next);
    }
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
    std::size_t grown = block_capacity * 2;
    void *more = blocks == inline_blocks ? malloc(grown * sizeof(void *))
                                         : realloc(blocks, grown * sizeof(void *));
    if (more == nullptr) return nullptr;
    if (blocks == inline_blocks) memcpy(more, inline_blocks, sizeof inline_blocks);
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
  if (!catch_up()) {
    char text[18];
    list_bssid_text(addr, text);
    return find_text(text);
  }
  if (table == nullptr) return nullptr;  // nothing indexed yet
  uint64_t key = key_of(addr);
  for (std::size_t i = home_of(key); table[i].entry != nullptr; i = (i + 1) & table_mask)
    if (table[i].key == key) return table[i].entry;
  return nullptr;
}

network_entry *list_find_bssid(const char *bssid) {
  uint64_t key;
  if (!canonical_key(bssid, &key)) return find_text(bssid);
  unsigned char addr[6];
  for (int i = 5; i >= 0; --i, key >>= 8) addr[i] = static_cast<unsigned char>(key & 0xff);
  return list_find_addr(addr);
}

void list_clear() {
  head = tail = cursor = nullptr;
  for (std::size_t i = 0; i < block_count; ++i) free(blocks[i]);
  if (blocks != inline_blocks) free(blocks);
  blocks = inline_blocks;
  block_count = 0;
  block_capacity = kInlineBlocks;
  drop_index();
  index_failed = false;
}
