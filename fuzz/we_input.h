// SPDX-License-Identifier: MIT
// The 16-byte header of the Wireless Extensions decoder's fuzz inputs (see
// decode_fuzz.cc): the pass's rules, the list before the walk and the
// driver's range.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backend/flow.h"
#include "backend/we/we.h"
#include "netlist/netlist.h"

inline constexpr size_t kWeInputHeader = 16;

// The pass's rules of the header (its association and whether it is
// directed), and a list of the header's entries.
struct we_input {
  char ap_addr[18];
  cell_rules rules;
};
inline void we_input_setup(const uint8_t *h, we_input *in) {
  memset(in->ap_addr, 0, sizeof in->ap_addr);
  ether_addr ap;
  memcpy(&ap, h + 1, 6);
  if (!(h[0] & 16)) iw_ether_ntop(&ap, in->ap_addr);
  in->rules = {in->ap_addr, "54 Mbit/s", (h[0] & 1) != 0};
  list_clear();
  for (int k = 0; k < ((h[0] >> 1) & 3); k++) {
    network_entry *e = list_append_new();
    if (e == nullptr) abort();
    ether_addr addr = ap;
    addr.ether_addr_octet[5] = static_cast<uint8_t>(addr.ether_addr_octet[5] ^ k);
    iw_ether_ntop(&addr, e->bssid);
    e->security_count = (h[7] & 0x7f) % 7;
    for (int i = 0; i < e->security_count; i++) memcpy(e->security[i], "WPA2-PSK", 9);
    e->privacy = h[7] >> 7;
  }
}

inline iw_range we_input_range(const uint8_t *h) {
  iw_range range;
  memset(&range, 0, sizeof range);
  range.we_version_compiled = (h[0] & 8) ? 18 : 22;
  range.max_qual = {h[8], h[9], h[10], h[11]};
  for (int i = 0; i < IW_MAX_FREQUENCIES; i++) {
    int channel = i < 13 ? i + 1 : 36 + 4 * (i - 13);
    int mhz = i < 13 ? 2407 + 5 * channel : 5000 + 5 * channel;
    range.freq[i].m = mhz * 100000;
    range.freq[i].e = 1;
    range.freq[i].i = static_cast<uint8_t>(channel);
  }
  range.num_frequency = h[12];
  return range;
}

// A result decoded into a batch and merged by the rules, as a pass of the
// flow does; the decoder's result.
inline int we_input_pass(char *buffer, size_t length, const iw_range &range,
                         const cell_rules &rules, diag_counts *counts) {
  cell_batch batch(&rules);
  const int result = we_decode_scan(buffer, static_cast<int>(length), &range, &batch);
  if (merge_batch(batch, rules, counts) != 0) return -1;
  if (result == 0) apply_wep_rule();
  return result;
}
