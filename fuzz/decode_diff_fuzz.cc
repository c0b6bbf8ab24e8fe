// SPDX-License-Identifier: MIT
// Runs the Wireless Extensions decoder and its earlier copy (fuzz/old/) on
// the same scan result from the same list, and aborts when the lists, as
// written, differ. The input is decode_fuzz's; byte 13 bit 0 turns on the
// naming of every suite (-s).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend/backend.h"
#include "backend/we/we.h"
#include "diff_snapshot.h"

namespace old_path {
int we_decode_scan(backend_ctx *ctx, char *buffer, int length, const struct iw_range *range);
}

namespace {

constexpr size_t kHeader = 16;

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

using decoder = int (*)(backend_ctx *, char *, int, const iw_range *);

std::string run(decoder decode, const uint8_t *data, size_t size) {
  const uint8_t *h = data;
  we_ctx ctx;
  memset(&ctx, 0, sizeof ctx);
  ctx.fd = -1;
  ctx.directed = h[0] & 1;
  ether_addr ap;
  memcpy(&ap, h + 1, 6);
  if (!(h[0] & 16)) iw_ether_ntop(&ap, ctx.ap_addr);
  memcpy(ctx.ap_rate, "54 Mbit/s", 10);
  list_clear();
  diag_reset();
  for (int k = 0; k < ((h[0] >> 1) & 3); k++) {
    network_entry *e = list_append_new();
    if (e == nullptr) abort();
    ether_addr addr = ap;
    addr.ether_addr_octet[5] = static_cast<uint8_t>(addr.ether_addr_octet[5] ^ k);
    iw_ether_ntop(&addr, e->bssid);
    e->security_count = (h[7] & 0x7f) % 7;
    for (int i = 0; i < e->security_count; i++) memcpy(e->security[i], "WPA2-PSK", 9);
    e->privacy = h[7] >> 7;
    ctx.entry = e;
  }
  const iw_range range = make_range(h);
  const size_t length = size - kHeader;
  char *buffer = static_cast<char *>(malloc(length));
  memcpy(buffer, data + kHeader, length);
  const int result = decode(&ctx.base, buffer, static_cast<int>(length), &range);
  free(buffer);
  std::string snapshot = diff_snapshot(result);
  list_clear();
  return snapshot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kHeader + 1) return 0;
  backend_set_all_suites(data[13] & 1);
  const std::string before = run(old_path::we_decode_scan, data, size);
  const std::string after = run(we_decode_scan, data, size);
  if (before != after) {
    fprintf(stderr, "before:\n%s\nafter:\n%s\n", before.c_str(), after.c_str());
    abort();
  }
  return 0;
}
