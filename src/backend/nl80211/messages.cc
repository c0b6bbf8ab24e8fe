// SPDX-License-Identifier: MIT
#include "backend/nl80211/messages.h"

#include <linux/genetlink.h>
#include <linux/nl80211.h>

#include <cstdio>
#include <cstring>

#include "backend/ieee80211/ieee80211.h"
#include "backend/flow.h"
#include "backend/ieee80211/byte_reader.h"
#include "backend/ieee80211/channel_plan.h"
#include "diag/diag.h"

namespace {

constexpr uint16_t kCapabilityEss = 0x0001;
constexpr uint16_t kCapabilityIbss = 0x0002;
constexpr uint16_t kCapabilityPrivacy = 0x0010;
constexpr uint8_t kIdSsid = 0;
constexpr uint8_t kIdMeshConfig = 113;
constexpr uint8_t kIdMeshId = 114;
constexpr size_t kSsidMax = 32;

// Attribute payloads, each read only after libmnl validated its size (a
// copy, so that no payload is read through a cast pointer).
template <typename T>
bool get_value(const nlattr *attr, mnl_attr_data_type type, T *out) {
  if (mnl_attr_validate(attr, type) < 0) return false;
  memcpy(out, mnl_attr_get_payload(attr), sizeof *out);
  return true;
}
bool get_u8(const nlattr *attr, uint8_t *out) { return get_value(attr, MNL_TYPE_U8, out); }
bool get_u16(const nlattr *attr, uint16_t *out) { return get_value(attr, MNL_TYPE_U16, out); }
bool get_u32(const nlattr *attr, uint32_t *out) { return get_value(attr, MNL_TYPE_U32, out); }
nl_bytes payload(const nlattr *attr) {
  return {static_cast<const uint8_t *>(mnl_attr_get_payload(attr)), mnl_attr_get_payload_len(attr)};
}

// --- family -----------------------------------------------------------------

int family_group(const nlattr *attr, void *data) {
  struct group {
    const char *name = nullptr;
    uint32_t id = 0;
  } g;
  auto field = [](const nlattr *a, void *d) -> int {
    auto *gr = static_cast<group *>(d);
    switch (mnl_attr_get_type(a)) {
      case CTRL_ATTR_MCAST_GRP_NAME:
        // Terminated within the attribute, as MNL_TYPE_NUL_STRING checks.
        if (mnl_attr_validate(a, MNL_TYPE_NUL_STRING) < 0) return -1;
        gr->name = static_cast<const char *>(mnl_attr_get_payload(a));
        return 0;
      case CTRL_ATTR_MCAST_GRP_ID:
        return get_u32(a, &gr->id) ? 0 : -1;
      default:
        return 0;
    }
  };
  if (nl_each_nested(attr, field, &g) != 0) return -1;
  if (g.name != nullptr && strcmp(g.name, NL80211_MULTICAST_GROUP_SCAN) == 0)
    static_cast<nl_family *>(data)->scan_group = g.id;
  return 0;
}

int family_attr(const nlattr *attr, void *data) {
  auto *family = static_cast<nl_family *>(data);
  switch (mnl_attr_get_type(attr)) {
    case CTRL_ATTR_FAMILY_ID:
      return get_u16(attr, &family->id) ? 0 : -1;
    case CTRL_ATTR_MCAST_GROUPS:
      return nl_each_nested(attr, family_group, family);
    default:
      return 0;
  }
}

// --- interface --------------------------------------------------------------

int interface_attr(const nlattr *attr, void *data) {
  auto *iface = static_cast<nl_interface *>(data);
  switch (mnl_attr_get_type(attr)) {
    case NL80211_ATTR_IFINDEX:
      return get_u32(attr, &iface->ifindex) ? 0 : -1;
    case NL80211_ATTR_IFTYPE:
      return get_u32(attr, &iface->iftype) ? 0 : -1;
    default:
      return 0;
  }
}

// --- station ----------------------------------------------------------------

int rate_attr(const nlattr *attr, void *data) {
  // BITRATE32 comes first where both are given; BITRATE only below 2^16.
  auto *station = static_cast<nl_station *>(data);
  switch (mnl_attr_get_type(attr)) {
    case NL80211_RATE_INFO_BITRATE32:
      return get_u32(attr, &station->tx_rate) ? 0 : -1;
    case NL80211_RATE_INFO_BITRATE: {
      uint16_t rate;
      if (!get_u16(attr, &rate)) return -1;
      if (station->tx_rate == 0) station->tx_rate = rate;
      return 0;
    }
    default:
      return 0;
  }
}

int station_info_attr(const nlattr *attr, void *data) {
  auto *station = static_cast<nl_station *>(data);
  switch (mnl_attr_get_type(attr)) {
    case NL80211_STA_INFO_SIGNAL: {
      uint8_t signal;
      if (!get_u8(attr, &signal)) return -1;
      // A signed byte on the wire.
      station->signal = signal < 128 ? signal : signal - 256;
      station->has_signal = true;
      return 0;
    }
    case NL80211_STA_INFO_TX_BITRATE:
      station->has_tx_rate = true;
      return nl_each_nested(attr, rate_attr, station);
    default:
      return 0;
  }
}

int station_attr(const nlattr *attr, void *data) {
  if (mnl_attr_get_type(attr) != NL80211_ATTR_STA_INFO) return 0;
  return nl_each_nested(attr, station_info_attr, data);
}

// --- BSS --------------------------------------------------------------------

struct bss_parse {
  nl_bss *bss;
  bool has_bss;
  bool has_bssid;
};

int bss_field(const nlattr *attr, void *data) {
  auto *p = static_cast<bss_parse *>(data);
  nl_bss *bss = p->bss;
  switch (mnl_attr_get_type(attr)) {
    case NL80211_BSS_BSSID:
      if (mnl_attr_validate(attr, MNL_TYPE_BINARY) < 0 ||
          mnl_attr_get_payload_len(attr) != sizeof bss->bssid)
        return -1;
      memcpy(bss->bssid, mnl_attr_get_payload(attr), sizeof bss->bssid);
      p->has_bssid = true;
      return 0;
    case NL80211_BSS_FREQUENCY:
      return get_u32(attr, &bss->frequency) ? 0 : -1;
    case NL80211_BSS_CAPABILITY:
      return get_u16(attr, &bss->capability) ? 0 : -1;
    case NL80211_BSS_SIGNAL_MBM: {
      uint32_t mbm;
      if (!get_u32(attr, &mbm)) return -1;
      bss->signal_mbm = static_cast<int32_t>(mbm);
      bss->signal_kind = kSignalMbm;
      return 0;
    }
    case NL80211_BSS_SIGNAL_UNSPEC:
      if (!get_u8(attr, &bss->signal_unspec)) return -1;
      bss->signal_kind = kSignalUnspec;
      return 0;
    case NL80211_BSS_STATUS:
      return get_u32(attr, &bss->status) ? 0 : -1;
    case NL80211_BSS_SEEN_MS_AGO:
      bss->has_seen = true;
      return get_u32(attr, &bss->seen_ms_ago) ? 0 : -1;
    case NL80211_BSS_INFORMATION_ELEMENTS:
      if (mnl_attr_validate(attr, MNL_TYPE_BINARY) < 0) return -1;
      bss->ies = payload(attr);
      return 0;
    default:
      return 0;
  }
}

int bss_attr(const nlattr *attr, void *data) {
  if (mnl_attr_get_type(attr) != NL80211_ATTR_BSS) return 0;
  auto *p = static_cast<bss_parse *>(data);
  // One BSS per message.
  if (p->has_bss) return -1;
  p->has_bss = true;
  return nl_each_nested(attr, bss_field, p);
}

// --- scan events -------------------------------------------------------------

int event_attr(const nlattr *attr, void *data) {
  if (mnl_attr_get_type(attr) != NL80211_ATTR_IFINDEX) return 0;
  return get_u32(attr, &static_cast<nl_scan_event *>(data)->ifindex) ? 0 : -1;
}

// --- wiphy -------------------------------------------------------------------

int wiphy_attr(const nlattr *attr, void *data) {
  auto *w = static_cast<nl_freqs *>(data);
  const uint16_t type = mnl_attr_get_type(attr);
  if (w->depth == 4) {
    if (type == NL80211_FREQUENCY_ATTR_DISABLED) w->disabled = true;
    return type != NL80211_FREQUENCY_ATTR_FREQ || get_u32(attr, &w->freq) ? 0 : -1;
  }
  if ((w->depth == 0 && type != NL80211_ATTR_WIPHY_BANDS) ||
      (w->depth == 2 && type != NL80211_BAND_ATTR_FREQS))
    return 0;
  w->freq = 0;
  w->disabled = false;
  w->depth++;
  const int walked = nl_each_nested(attr, wiphy_attr, w);
  if (w->depth-- == 4 && w->freq != 0 && !w->disabled && w->count < w->room)
    w->mhz[w->count++] = w->freq;
  return walked;
}

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

cell_mode mode_of(const nl_bss &bss) {
  bool mesh = false;
  each_element(bss.ies, [&](uint8_t id, nl_bytes) {
    if (id == kIdMeshConfig) mesh = true;
  });
  // A mesh point's mode (IW_MODE_MESH) has no text.
  if (mesh) return kModeOther;
  if (bss.capability & kCapabilityEss) return kModeMaster;
  if (bss.capability & kCapabilityIbss) return kModeAdHoc;
  return kModeOther;
}

// cfg80211's quality for a signal in dBm: -110 dBm and below 0, -40 dBm
// and above 70.
uint8_t dbm_quality(int dbm) {
  if (dbm <= -110) return 0;
  if (dbm >= -40) return 70;
  return static_cast<uint8_t>(dbm + 110);
}

// A level in dBm kept within a signed byte, as Wireless Extensions and the
// document carry it, on the same side of cfg80211's scale.
int16_t level_of(int32_t dbm) {
  return static_cast<int16_t>(dbm < INT8_MIN ? INT8_MIN : dbm > INT8_MAX ? INT8_MAX : dbm);
}

// An unspecified signal (0 to 100) as Wireless Extensions pass it on: a
// byte above 127 reads as negative there, which gives no figure.
signal_record unspec_signal(uint8_t value) {
  if (value > 127) return {};
  return {.has_quality = true, .quality = value, .quality_max = 100};
}

}  // namespace

int nl_parse_family(const nlmsghdr *nlh, nl_family *out) {
  *out = nl_family{};
  if (nl_genl_cmd(nlh) != CTRL_CMD_NEWFAMILY) return -1;
  if (nl_each_genl_attr(nlh, family_attr, out) != 0) return -1;
  return out->id != 0 ? 0 : -1;
}

int nl_parse_interface(const nlmsghdr *nlh, nl_interface *out) {
  *out = nl_interface{0, NL80211_IFTYPE_UNSPECIFIED};
  if (nl_genl_cmd(nlh) != NL80211_CMD_NEW_INTERFACE) return -1;
  return nl_each_genl_attr(nlh, interface_attr, out);
}

int nl_parse_station(const nlmsghdr *nlh, nl_station *out) {
  *out = nl_station{};
  if (nl_genl_cmd(nlh) != NL80211_CMD_NEW_STATION) return -1;
  return nl_each_genl_attr(nlh, station_attr, out);
}

int nl_parse_bss(const nlmsghdr *nlh, nl_bss *out) {
  *out = nl_bss{};
  out->status = kNoStatus;
  if (nl_genl_cmd(nlh) != NL80211_CMD_NEW_SCAN_RESULTS) return -1;
  bss_parse p{out, false, false};
  if (nl_each_genl_attr(nlh, bss_attr, &p) != 0) return -1;
  return p.has_bss && p.has_bssid ? 0 : -1;
}

int nl_parse_scan_event(const nlmsghdr *nlh, nl_scan_event *out) {
  *out = nl_scan_event{};
  int cmd = nl_genl_cmd(nlh);
  if (cmd < 0) return -1;
  out->cmd = static_cast<uint8_t>(cmd);
  return nl_each_genl_attr(nlh, event_attr, out);
}

int nl_bss_ssid(nl_bytes ies, uint8_t (&ssid)[32], uint32_t *len) {
  bool too_long = false;
  *len = 0;
  each_element(ies, [&](uint8_t id, nl_bytes element) {
    if ((id != kIdSsid && id != kIdMeshId) || element.empty()) return;
    // Passed on by cfg80211 and dropped by the Wireless Extensions decoder.
    if (element.size() > kSsidMax) {
      too_long = true;
      return;
    }
    memcpy(ssid, element.data(), element.size());
    *len = static_cast<uint32_t>(element.size());
  });
  return too_long ? 1 : 0;
}

int nl_bss_cell(const nl_bss &bss, cell_batch *batch) {
  cell_record *cell;
  const int opened = batch->open(bss.bssid, &cell);
  if (opened <= 0) return opened;
  uint8_t ssid[32];
  uint32_t ssid_len = 0;
  cell->essid_oversized = nl_bss_ssid(bss.ies, ssid, &ssid_len) != 0;
  cell->has_channel = bss.frequency != 0;
  cell->channel = bss.frequency != 0 ? nl_channel(bss.frequency) : 0;
  cell->mode = mode_of(bss);
  cell->privacy = (bss.capability & kCapabilityPrivacy) != 0;
  cell->signal = nl_scan_signal(bss);
  cell->frequency_mhz = bss.frequency;
  cell->has_last_seen = bss.has_seen;
  cell->last_seen_ms = bss.seen_ms_ago;
  byte_span ies;
  if (!batch->keep({ssid, ssid_len}, &ies) || !cell->set_essid(ies)) return -1;
  if (!cell->privacy && batch->report(true, {}) != 0) return -1;
  return batch->keep(bss.ies, &ies) && batch->report(false, ies) == 0 ? 0 : -1;
}

signal_record nl_scan_signal(const nl_bss &bss) {
  if (bss.signal_kind == kSignalMbm)
    return {.has_level = true, .level_dbm = level_of(bss.signal_mbm / 100)};
  // A level of 0 is no figure to Wireless Extensions.
  if (bss.signal_kind == kSignalUnspec && bss.signal_unspec != 0)
    return unspec_signal(bss.signal_unspec);
  return {};
}

signal_record nl_link_signal(uint8_t signal_kind, const nl_station *station) {
  // cfg80211 fills the statistics from the station's signal; libiw reads
  // them back from /proc/net/wireless, which carries quality and level but
  // not the dBm flag: a level byte of 0 leaves the quality alone, and none
  // reads as a quality of 0.
  if (station == nullptr || !station->has_signal ||
      (signal_kind != kSignalMbm && signal_kind != kSignalUnspec))
    return {.has_quality = true};
  const auto level = static_cast<uint8_t>(station->signal);
  if (signal_kind == kSignalUnspec) return unspec_signal(level);
  if (level == 0) return {.has_quality = true, .quality = dbm_quality(station->signal)};
  return {.has_level = true, .level_dbm = level_of(station->signal)};
}

int nl_channel(uint32_t mhz) { return channel_of_mhz(mhz); }

uint64_t nl_tx_bps(const nl_station &station) { return uint64_t{station.tx_rate} * 100000u; }

int nl_take_association(const nlmsghdr *nlh, nl_association *a) {
  nl_bss bss;
  if (nl_parse_bss(nlh, &bss) != 0) return -1;
  if (bss.status != NL80211_BSS_STATUS_ASSOCIATED && bss.status != NL80211_BSS_STATUS_IBSS_JOINED)
    return 0;
  a->found = true;
  memcpy(a->bssid, bss.bssid, sizeof a->bssid);
  a->frequency = bss.frequency;
  a->signal_kind = bss.signal_kind;
  a->ssid_ok = nl_bss_ssid(bss.ies, a->ssid, &a->ssid_len) == 0;
  return 0;
}

void nl_link_record(const nl_association &a, const nl_station *station, link_record *f) {
  if (station != nullptr && station->has_tx_rate) {
    f->has_rate = true;
    f->rate_bps = nl_tx_bps(*station);
  }
  f->signal = nl_link_signal(a.signal_kind, station);
  f->has_channel = a.frequency != 0;
  if (a.frequency != 0) f->channel = nl_channel(a.frequency);
}

void nl_put_scan_request(nlmsghdr *nlh, const nl_scan_request &req) {
  mnl_attr_put_u32(nlh, NL80211_ATTR_IFINDEX, req.ifindex);
  static const uint8_t kWildcard[1] = {0};
  const scan_request *scan = req.scan;
  // Without an SSID to probe for, the scan only listens.
  const nl_association *target = req.directed;
  if (target != nullptr || !scan->passive) {
    const bool named = target != nullptr && target->ssid_len > 0 && target->ssid_len <= kSsidMax;
    nlattr *ssids = mnl_attr_nest_start(nlh, NL80211_ATTR_SCAN_SSIDS);
    mnl_attr_put(nlh, 1, named ? target->ssid_len : 0, named ? target->ssid : kWildcard);
    mnl_attr_nest_end(nlh, ssids);
  }
  const int count = target != nullptr ? 1 : scan->freq_count;
  if (count != 0) {
    nlattr *freqs = mnl_attr_nest_start(nlh, NL80211_ATTR_SCAN_FREQUENCIES);
    for (int i = 0; i < count; i++)
      mnl_attr_put_u32(nlh, static_cast<uint16_t>(i + 1),
                       target != nullptr ? target->frequency : scan->freqs[i]);
    mnl_attr_nest_end(nlh, freqs);
  }
  const uint32_t flags =
      (req.iftype == NL80211_IFTYPE_AP ? NL80211_SCAN_FLAG_AP : 0) |
      (target == nullptr && scan->low_priority ? NL80211_SCAN_FLAG_LOW_PRIORITY : 0);
  if (flags != 0) mnl_attr_put_u32(nlh, NL80211_ATTR_SCAN_FLAGS, flags);
}

int nl_parse_wiphy_freqs(const nlmsghdr *nlh, void *data) {
  if (nl_genl_cmd(nlh) != NL80211_CMD_NEW_WIPHY) return -1;
  auto *out = static_cast<nl_freqs *>(data);
  out->depth = 0;
  return nl_each_genl_attr(nlh, wiphy_attr, out);
}
