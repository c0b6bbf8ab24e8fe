// SPDX-License-Identifier: MIT
// What the earlier decoding paths (fuzz/old/) used of the flow and of the
// Wireless Extensions instance before backends handed their cells over in
// batches: the decoder's state and the opening of a cell's entry.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "backend/flow.h"
#include "netlist/netlist.h"

struct iw_range;
struct nl_bss;

namespace old_path {

struct we_state {
  network_entry *entry;  // the entry the decoder is filling
  uint32_t directed;     // 1 during a directed scan
  uint32_t skipping;     // 1 while the decoder ignores the open cell
  char ap_addr[18];
  char ap_rate[11];
  bool all_suites;  // -s, once a process-wide setting
  diag_counts *counts;
};

inline network_entry *open_cell(const uint8_t (&addr)[6], const cell_rules &rules, bool *failed) {
  if (list_find_addr(addr) != nullptr) return nullptr;
  char text[18];
  list_bssid_text(addr, text);
  const bool associated = strncmp(text, rules.ap_addr, sizeof text) == 0;
  if (rules.directed && !associated) return nullptr;
  network_entry *entry = list_append_new();
  if (entry == nullptr) {
    *failed = true;
    return nullptr;
  }
  memcpy(entry->bssid, text, sizeof entry->bssid);
  if (associated) {
    snprintf(entry->bitrate, sizeof entry->bitrate, "%.*s",
             static_cast<int>(strnlen(rules.ap_rate, sizeof entry->bitrate - 1)), rules.ap_rate);
    entry->current = 1;
  }
  return entry;
}

int we_decode_scan(we_state *ctx, char *buffer, int length, const iw_range *range);
int nl_add_bss(const nl_bss &bss, const cell_rules &rules, diag_counts *counts);

}  // namespace old_path
