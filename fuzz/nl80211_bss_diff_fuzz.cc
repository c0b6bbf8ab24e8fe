// SPDX-License-Identifier: MIT
// Runs the NL80211 converter and its earlier copy (fuzz/old/) on the same
// scan results, and aborts when the lists, as written, differ. The input is
// nl80211_bss_fuzz's; byte 0 bit 1 makes the scan a directed one and bit 2
// lists the associated network before the walk.
#include <libmnl/libmnl.h>
#include <linux/genetlink.h>
#include <linux/nl80211.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend/flow.h"
#include "backend/nl80211/messages.h"
#include "diff_snapshot.h"
#include "old/old_flow.h"
#include "nl_input.h"

namespace {

struct walk {
  bool old;
  cell_rules rules;
  cell_batch *batch;
  int result;
  diag_counts counts;
};

// The earlier converter adds each BSS to the list; the new one to the batch.
int add(const nlmsghdr *nlh, void *data) {
  auto *w = static_cast<walk *>(data);
  nl_bss bss;
  if (nl_parse_bss(nlh, &bss) != 0) return -1;
  const int r = w->old ? old_path::nl_add_bss(bss, w->rules, &w->counts)
                       : nl_bss_cell(bss, w->batch);
  if (r != 0) w->result = -1;
  return 0;
}

std::string run(bool old, uint8_t flags, const uint8_t *data, size_t size) {
  list_clear();
  walk w{old, {"02:00:00:00:01:00", "54 Mbit/s", (flags & 2) != 0}, nullptr, 0, {}};
  if (flags & 4) {
    network_entry *e = list_append_new();
    if (e == nullptr) abort();
    memcpy(e->bssid, w.rules.ap_addr, sizeof e->bssid);
  }
  cell_batch batch(&w.rules);
  w.batch = &batch;
  nl_input_walk((flags & 1) != 0, data, size, add, &w);
  if (!old && merge_batch(batch, w.rules, &w.counts) != 0) w.result = -1;
  apply_wep_rule();
  std::string snapshot = diff_snapshot(w.result, w.counts);
  list_clear();
  return snapshot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 60000) return 0;
  const std::string before = run(true, data[0], data + 1, size - 1);
  const std::string after = run(false, data[0], data + 1, size - 1);
  if (before != after) {
    fprintf(stderr, "before:\n%s\nafter:\n%s\n", before.c_str(), after.c_str());
    abort();
  }
  return 0;
}
