// SPDX-License-Identifier: MIT
// nl80211 messages to plain records, and scanned BSSs to network list
// entries. Pure functions over received messages: every attribute is
// validated through libmnl before its payload is read, and a message that
// is malformed or lacks what it must carry fails.
#pragma once

#include <cstdint>

#include "backend/backend.h"
#include "backend/ieee80211/ieee80211.h"
#include "backend/nl80211/netlink.h"

class cell_batch;
struct link_record;

// The generic netlink family "nl80211" (a CTRL_CMD_NEWFAMILY reply).
struct nl_family {
  uint16_t id;
  uint32_t scan_group;  // 0 when the family announces no "scan" group
};
int nl_parse_family(const nlmsghdr *nlh, nl_family *out);

// An NL80211_CMD_NEW_INTERFACE reply.
struct nl_interface {
  uint32_t ifindex;
  uint32_t iftype;  // NL80211_IFTYPE_*; NL80211_IFTYPE_UNSPECIFIED when not given
};
int nl_parse_interface(const nlmsghdr *nlh, nl_interface *out);

// An NL80211_CMD_NEW_STATION reply: what the kernel knows of the peer.
struct nl_station {
  bool has_signal;
  int32_t signal;    // dBm
  bool has_tx_rate;  // the station info carries a transmit rate
  uint32_t tx_rate;  // 100 kbit/s; 0 when the rate gives no figure
};
int nl_parse_station(const nlmsghdr *nlh, nl_station *out);
// The transmit rate in bit/s, in 64 bits: Wi-Fi 6 and 7 rates pass 2^32.
uint64_t nl_tx_bps(const nl_station &station);

enum nl_signal_kind : uint8_t { kSignalNone, kSignalMbm, kSignalUnspec };

// One BSS of a scan dump (an NL80211_CMD_NEW_SCAN_RESULTS message).
struct nl_bss {
  uint8_t bssid[6];
  uint32_t frequency;  // MHz; 0 when not given
  uint16_t capability;
  uint8_t signal_kind;  // which signal attribute the wiphy's signal type gave
  int32_t signal_mbm;
  uint8_t signal_unspec;
  uint32_t status;  // NL80211_BSS_STATUS_*, or kNoStatus
  nl_bytes ies;     // NL80211_BSS_INFORMATION_ELEMENTS, inside the message
  bool has_seen;
  uint32_t seen_ms_ago;  // NL80211_BSS_SEEN_MS_AGO
};
constexpr uint32_t kNoStatus = UINT32_MAX;
// 0, or -1 for a message that is not a BSS or is malformed (no BSS
// attribute, no BSSID, an attribute of the wrong size).
int nl_parse_bss(const nlmsghdr *nlh, nl_bss *out);

// A multicast event of the "scan" group: the command and the interface.
struct nl_scan_event {
  uint8_t cmd;
  uint32_t ifindex;  // 0 when the event names none
};
int nl_parse_scan_event(const nlmsghdr *nlh, nl_scan_event *out);

// Adds a BSS to the batch as a cell, its bytes copied (the receive buffer
// is reused); 0, or -1 to fail the scan (no memory). SSID elements over 32
// bytes are passed over (and marked), as the Wireless Extensions decoder
// passes over their events.
int nl_bss_cell(const nl_bss &bss, cell_batch *batch);

// The SSID as cfg80211's Wireless Extensions view reports it: the last
// non-empty SSID (or mesh ID) element of at most 32 bytes in the run of
// whole elements, its length in *len (0 for none or hidden). 0, or 1 when an
// element over 32 bytes was passed over.
int nl_bss_ssid(nl_bytes ies, uint8_t (&ssid)[32], uint32_t *len);

// The signal of a scanned BSS as cfg80211's Wireless Extensions view
// reports it: SIGNAL_MBM as a level in dBm, SIGNAL_UNSPEC as a quality of
// 100; none for a level of 0.
signal_record nl_scan_signal(const nl_bss &bss);
// The associated station's signal as the Wireless Extensions backend reads
// it from /proc/net/wireless, which cfg80211 fills from the station's
// signal; signal_kind is that of the wiphy (from its BSSs). station null:
// no station information (the figure is then 0).
signal_record nl_link_signal(uint8_t signal_kind, const nl_station *station);

// The channel number of a frequency in MHz, or -1.
int nl_channel(uint32_t mhz);

struct nl_association;

// A scan request: an active scan with the wildcard SSID (passive: no SSID,
// so no probe request) on every channel or those of freqs, or directed at
// one SSID on one frequency. An access point scans only with the AP flag,
// which the kernel demands of a beaconing interface.
struct nl_scan_request {
  uint32_t ifindex;
  uint32_t iftype;                 // NL80211_IFTYPE_* of the interface
  const nl_association *directed;  // at its SSID (at most 32 bytes) and frequency; or null
  const scan_request *scan;        // passive, low priority, frequencies; null when directed
};
// Appends the request's attributes to a TRIGGER_SCAN message of at least
// kTriggerSize bytes (what the other requests need, and 8 bytes a frequency).
constexpr size_t kTriggerSize = 1024;
void nl_put_scan_request(nlmsghdr *nlh, const nl_scan_request &req);

// The frequencies of a wiphy (a GET_WIPHY reply, or one message of its
// split dump), added to mhz up to room; disabled ones are passed over.
struct nl_freqs {
  uint32_t *mhz;
  int room;
  int count;
  // The walk down the bands: 0 the message, 1 the bands, 2 a band, 3 its
  // frequencies, 4 a frequency (read so far: freq, disabled).
  int depth;
  uint32_t freq;
  bool disabled;
};
// data: the nl_freqs, as a dump hands it on.
int nl_parse_wiphy_freqs(const nlmsghdr *nlh, void *data);

// The BSS that a scan dump marks as the one the interface is associated
// with (or, for an ad-hoc interface, has joined).
struct nl_association {
  bool found;
  uint8_t bssid[6];
  uint32_t frequency;
  uint8_t signal_kind;
  uint8_t ssid[32];
  uint32_t ssid_len;
  bool ssid_ok;  // false when its SSID element is longer than 32 bytes
};
// Takes one message of a scan dump into *a when it is the associated BSS;
// 0, or -1 for a malformed message.
int nl_take_association(const nlmsghdr *nlh, nl_association *a);

// The live figures of the associated BSS, as the Wireless Extensions
// backend reads them: the transmit rate when the station information
// carries one, the quality from the station's signal, the channel from the
// BSS's frequency. station null: none could be read (or the interface is
// no station).
void nl_link_record(const nl_association &a, const nl_station *station, link_record *f);
