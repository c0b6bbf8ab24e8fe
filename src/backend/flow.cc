// SPDX-License-Identifier: MIT
#include "backend/flow.h"

#include <errno.h>
#include <net/if.h>

#include <cstdio>
#include <cstring>

#include "backend/backend.h"
#include "backend/common.h"
#include "diag/diag.h"
#include "netlist/netlist.h"

namespace {

constexpr int kPasses = 5;
constexpr int kPauseMs = 2000;

}  // namespace

int backend_refresh(backend_ctx *ctx, void *env, const refresh_primitives &p) {
  short flags = 0;
  if (p.get_flags(ctx, env, &flags) != 0) {
    diag_fail(errno, "SIOCGIFFLAGS on %s", ctx->ifname);
    return -1;
  }
  if ((flags & IFF_UP) == 0 && p.set_flags(ctx, env, static_cast<short>(flags | IFF_UP)) != 0) {
    diag_fail_hint(errno, errno == EPERM ? "bringing it up needs root or CAP_NET_ADMIN" : nullptr,
                   "SIOCSIFFLAGS on %s", ctx->ifname);
    return -1;
  }
  if (p.link_snapshot(ctx, env) != 0 || p.prepare(ctx, env) != 0) return -1;
  for (int pass = 1; pass <= kPasses; pass++) {
    if (p.scan_once(ctx, env) != 0) return -1;
    // A signal may shorten the pause.
    if (pass < kPasses) p.pause(ctx, env, kPauseMs);
  }
  return 0;
}

int backend_current(backend_ctx *ctx, void *env, const current_primitives &p,
                    const char (&ap_addr)[18], int *added) {
  if (added != nullptr) *added = 0;
  if (list_first() == nullptr) return 0;
  int result = p.open(ctx, env);
  if (result == 0) result = p.association(ctx, env);
  if (result <= 0) return result;  // a failure, or no association to refresh
  network_entry *entry = find_entry(ap_addr);
  if (entry == nullptr) {
    if (p.directed_scan(ctx, env) != 0) return -1;
    // Its own failure does not matter: the list is searched again.
    diag_forget();
    entry = find_entry(ap_addr);
    // Nothing was appended when the scan did not report the cell: the
    // cached list stands as it is and needs no rewrite.
    if (entry == nullptr) return 0;
    if (added != nullptr) *added = 1;
  }
  p.refresh(ctx, env, entry);
  return 0;
}

network_entry *open_cell(const uint8_t (&addr)[6], const cell_rules &rules, bool *failed) {
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

int fill_cell(network_entry *entry, const cell_record &cell) {
  if (cell.has_channel) entry->channel = cell.channel;
  set_quality(entry, cell.quality);
  if (cell.privacy) entry->privacy = 1;
  if (cell.off) add_descriptor(entry, "off");
  if (!cell.essid.empty() && cell.essid.size() <= 32) {
    memcpy(entry->essid, cell.essid.data(), cell.essid.size());
    entry->essid_len = static_cast<uint32_t>(cell.essid.size());
  }
  if (cell.mode != nullptr) snprintf(entry->mode, sizeof entry->mode, "%s", cell.mode);
  if (cell.ies.size() <= 1) return 0;
  return parse_security_ies(entry, cell.ies.data(), static_cast<int>(cell.ies.size()));
}

void apply_wep_rule() {
  for (network_entry *entry = list_first(); entry != nullptr; entry = list_next()) {
    if (entry->privacy != 1) continue;
    if (entry->security_count == 0 || (entry->security_count == 1 && entry->wps == 1))
      add_descriptor(entry, "WEP");
  }
}

int trigger_refused(const backend_ctx *ctx, int err, const char *request, const char *hint) {
  // The radio is already scanning (for wpa_supplicant, say); that scan ends
  // with results too, so the pass waits for it like for a scan of its own.
  if (err == EBUSY) {
    diag_count().joined++;
    return 0;
  }
  if (hint == nullptr && (err == EPERM || err == EACCES))
    hint = "scanning needs root or CAP_NET_ADMIN";
  diag_fail_hint(err, hint, "%s on %s", request, ctx->ifname);
  return -1;
}
