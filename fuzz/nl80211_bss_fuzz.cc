// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to the NL80211 backend's parsing: as the attributes
// of a scan-result message (BSS attributes and their information elements,
// then the entry the BSS becomes), or as a whole received datagram.
//
// Input: byte 0 bit 0 chooses: 0, the rest is the attribute run of a
// NEW_SCAN_RESULTS message; 1, the rest is a datagram of a dump reply.
#include <libmnl/libmnl.h>
#include <linux/genetlink.h>
#include <linux/nl80211.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backend/flow.h"
#include "backend/nl80211/messages.h"
#include "netlist/netlist.h"
#include "nl_input.h"

namespace {

void require(bool ok) {
  if (!ok) abort();
}

void check_entries() {
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) {
    require(e->essid_len <= 32);
    require(e->security_count >= 0 && e->security_count <= 6);
    require(e->quality <= 100);
    require(strnlen(e->bssid, sizeof e->bssid) == 17);
    require(strnlen(e->mode, sizeof e->mode) < sizeof e->mode);
  }
}

int add(const nlmsghdr *nlh, void *batch) {
  nl_bss bss;
  if (nl_parse_bss(nlh, &bss) != 0) return -1;
  // A well-formed BSS is always taken, whatever its elements say.
  require(nl_bss_cell(bss, static_cast<cell_batch *>(batch)) == 0);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 60000) return 0;
  const bool datagram = (data[0] & 1) != 0;
  ++data;
  --size;
  list_clear();
  const cell_rules rules{"02:00:00:00:01:00", "54 Mbit/s", false};
  cell_batch batch(&rules);
  nl_input_walk(datagram, data, size, add, &batch);
  diag_counts counts{};
  require(merge_batch(batch, rules, &counts) == 0);
  apply_wep_rule();
  check_entries();
  list_clear();
  return 0;
}
