// SPDX-License-Identifier: MIT
// Feeds arbitrary scan results to we_decode_scan, through libiw's event
// extraction, and checks what the network list may look like afterwards.
//
// Input: a 16-byte header, then the event buffer.
//   byte 0: bit 0 directed scan; bits 1-2 entries already listed (0 to 3);
//           bit 3 stream layout of version 18 instead of 22; bit 4 no
//           association (empty ap_addr)
//   bytes 1-6: the associated address; listed entry k has it with its last
//           byte XOR k, so entry 0 is the associated network itself
//   byte 7: listed entries' slots in use (modulo 7) and, bit 7, privacy
//   bytes 8-11: the range's max_qual (qual, level, noise, updated)
//   byte 12: the range's frequency count, not bounded to its table
//   bytes 13-15: unused
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backend/we/we.h"
#include "netlist/netlist.h"
#include "we_input.h"

namespace {

void require(bool ok) {
  if (!ok) abort();
}

bool terminated(const char *text, size_t size) { return memchr(text, '\0', size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kWeInputHeader + 1) return 0;
  const uint8_t *h = data;
  const bool directed = h[0] & 1;
  const int listed = (h[0] >> 1) & 3;

  we_input in;
  we_input_setup(h, &in);
  const iw_range range = we_input_range(h);

  // An exactly sized copy: any read past the result is a heap overflow.
  const size_t length = size - kWeInputHeader;
  char *buffer = static_cast<char *>(malloc(length));
  memcpy(buffer, data + kWeInputHeader, length);
  diag_counts counts{};
  const int result = we_input_pass(buffer, length, range, in.rules, &counts);
  free(buffer);
  // Only exhausted memory fails a walk: no broadcast can deny the scan.
  require(result == 0);

  int index = 0;
  int appended = 0;
  for (network_entry *e = list_first(); e != nullptr; e = list_next(), index++) {
    require(terminated(e->bssid, sizeof e->bssid));
    require(terminated(e->mode, sizeof e->mode));
    require(terminated(e->bitrate, sizeof e->bitrate));
    require(e->essid_len <= 32);
    require(e->security_count >= 0 && e->security_count <= 6);
    for (int i = 0; i < e->security_count; i++)
      require(terminated(e->security[i], sizeof e->security[i]));
    require(e->quality <= 100);
    require(strcmp(e->mode, "") == 0 || strcmp(e->mode, "Master") == 0 ||
            strcmp(e->mode, "Ad-Hoc") == 0);
    // Each address is listed once: the earliest entry with it is this one.
    require(list_find_bssid(e->bssid) == e);
    if (index < listed) continue;
    appended++;
    const bool associated = strcmp(e->bssid, in.ap_addr) == 0;
    require(e->current == (associated ? 1u : 0u));
    if (associated) require(strcmp(e->bitrate, in.rules.ap_rate) == 0);
    if (directed) require(associated);
  }
  // A directed scan appends at most the associated network, and not when it
  // is listed already (entry 0).
  if (directed) require(appended <= (listed == 0 ? 1 : 0));
  list_clear();
  return 0;
}
