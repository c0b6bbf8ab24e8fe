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

namespace {

constexpr size_t kHeader = 16;

void require(bool ok) {
  if (!ok) abort();
}

bool terminated(const char *text, size_t size) { return memchr(text, '\0', size) != nullptr; }

iw_range make_range(const uint8_t *h) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kHeader + 1) return 0;
  const uint8_t *h = data;
  const bool directed = h[0] & 1;
  const int listed = (h[0] >> 1) & 3;

  we_ctx ctx;
  memset(&ctx, 0, sizeof ctx);
  ctx.fd = -1;
  ctx.directed = directed;
  // Leftovers of an earlier walk must not open a cell.
  ctx.skipping = 0;
  ether_addr ap;
  memcpy(&ap, h + 1, 6);
  if (!(h[0] & 16)) iw_ether_ntop(&ap, ctx.ap_addr);
  memcpy(ctx.ap_rate, "54 Mbit/s", 10);

  list_clear();
  for (int k = 0; k < listed; k++) {
    network_entry *e = list_append_new();
    require(e != nullptr);
    ether_addr addr = ap;
    addr.ether_addr_octet[5] = static_cast<uint8_t>(addr.ether_addr_octet[5] ^ k);
    iw_ether_ntop(&addr, e->bssid);
    e->security_count = (h[7] & 0x7f) % 7;
    for (int i = 0; i < e->security_count; i++) memcpy(e->security[i], "WPA2-PSK", 9);
    e->privacy = h[7] >> 7;
    ctx.entry = e;
  }
  const iw_range range = make_range(h);

  // An exactly sized copy: any read past the result is a heap overflow.
  const size_t length = size - kHeader;
  char *buffer = static_cast<char *>(malloc(length));
  memcpy(buffer, data + kHeader, length);
  const int result = we_decode_scan(&ctx.base, buffer, static_cast<int>(length), &range);
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
    const bool associated = strcmp(e->bssid, ctx.ap_addr) == 0;
    require(e->current == (associated ? 1u : 0u));
    if (associated) require(strcmp(e->bitrate, ctx.ap_rate) == 0);
    if (directed) require(associated);
  }
  // A directed scan appends at most the associated network, and not when it
  // is listed already (entry 0).
  if (directed) require(appended <= (listed == 0 ? 1 : 0));
  list_clear();
  return 0;
}
