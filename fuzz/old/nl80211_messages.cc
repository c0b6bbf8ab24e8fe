// SPDX-License-Identifier: MIT
// The NL80211 converter as it was before each backend handed its cells over
// as records, kept for the differential fuzz target only: nl_add_bss and the
// helpers it used, inside namespace old_path.
#include "backend/nl80211/messages.h"

#include <linux/genetlink.h>
#include <linux/nl80211.h>

#include <cstdio>
#include <cstring>

#include "backend/ieee80211/ieee80211.h"
#include "backend/flow.h"
#include "old_flow.h"
#include "old_quality.h"
#include "backend/ieee80211/byte_reader.h"
#include "backend/ieee80211/channel_plan.h"
#include "diag/diag.h"
#include "netlist/netlist.h"

namespace old_path {

namespace {

constexpr uint16_t kCapabilityEss = 0x0001;
constexpr uint16_t kCapabilityIbss = 0x0002;
constexpr uint16_t kCapabilityPrivacy = 0x0010;
constexpr uint8_t kIdMeshConfig = 113;

// --- entries ----------------------------------------------------------------

// The elements that cfg80211 walks for its scan events: whole elements from
// the start, up to the first whose length runs past the end.
template <typename F>
void each_element(nl_bytes ies, F &&f) {
  ByteReader r(ies);
  uint8_t id;
  ByteReader body;
  while (r.read_element(&id, &body)) f(id, body.rest());
}

const char *mode_of(const nl_bss &bss) {
  bool mesh = false;
  each_element(bss.ies, [&](uint8_t id, nl_bytes) {
    if (id == kIdMeshConfig) mesh = true;
  });
  // A mesh point's mode (IW_MODE_MESH) has no text.
  if (mesh) return "";
  if (bss.capability & kCapabilityEss) return "Master";
  if (bss.capability & kCapabilityIbss) return "Ad-Hoc";
  return "";
}

// The maxima that cfg80211's range gives for the wiphy's signal type.
quality_max range_of(uint8_t signal_kind) {
  if (signal_kind == kSignalMbm) return {70, static_cast<uint8_t>(-110), 0};
  if (signal_kind == kSignalUnspec) return {100, 100, 0};
  return {0, 0, 0};
}

// cfg80211's quality for a signal in dBm: -110 dBm and below 0, -40 dBm
// and above 70.
uint8_t dbm_quality(int dbm) {
  if (dbm <= -110) return 0;
  if (dbm >= -40) return 70;
  return static_cast<uint8_t>(dbm + 110);
}

// The quality event cfg80211 reports for a scanned BSS, read as the decoder
// reads it; the entry keeps 0 when the event would be ignored.
void set_scan_quality(network_entry *entry, const nl_bss &bss) {
  if (bss.signal_kind == kSignalNone) return;
  link_quality qual{};
  if (bss.signal_kind == kSignalMbm) {
    const int sig = bss.signal_mbm / 100;
    qual.level = static_cast<uint8_t>(sig);
    qual.updated = kQualLevelUpdated | kQualNoiseInvalid | kQualQualUpdated | kQualDbm;
    qual.qual = dbm_quality(sig);
  } else {
    qual.level = bss.signal_unspec;
    qual.qual = bss.signal_unspec;
    qual.updated = kQualLevelUpdated | kQualNoiseInvalid | kQualQualUpdated;
  }
  if (!quality_usable(qual)) return;
  const quality_max range = range_of(bss.signal_kind);
  set_quality(entry, quality_percent(&qual, &range));
}

int parse_elements(network_entry *entry, nl_bytes ies) {
  if (ies.size() <= 1) return 0;
  return parse_security_ies(entry, ies.data(), static_cast<int>(ies.size()), false);
}

}  // namespace

int nl_add_bss(const nl_bss &bss, const cell_rules &rules, diag_counts *counts) {
  bool failed = false;
  network_entry *entry = open_cell(bss.bssid, rules, &failed);
  if (entry == nullptr) return failed ? -1 : 0;
  // The fields in the order in which cfg80211 reports them.
  if (bss.frequency != 0) entry->channel = nl_channel(bss.frequency);
  set_scan_quality(entry, bss);
  if (bss.capability & kCapabilityPrivacy)
    entry->privacy = 1;
  else
    add_descriptor(entry, "off");
  uint8_t ssid[32];
  uint32_t ssid_len = 0;
  if (nl_bss_ssid(bss.ies, ssid, &ssid_len) != 0) counts->oversized++;
  if (ssid_len > 0) {
    memcpy(entry->essid, ssid, ssid_len);
    entry->essid_len = ssid_len;
  }
  snprintf(entry->mode, sizeof entry->mode, "%s", mode_of(bss));
  return parse_elements(entry, bss.ies) != 0 ? -1 : 0;
}

}  // namespace old_path
