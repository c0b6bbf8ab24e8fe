// SPDX-License-Identifier: MIT
// What every backend reads alike from 802.11: the security elements, the
// bit-rate text, the signal percentage and the channel plan
// (channel_plan.h), over lumra's own records; no driver interface's.
#pragma once

#include <cstddef>
#include <cstdint>

struct network_entry;

// "%d %cbit/s" into buf; 0, or -1 (buf untouched below 1000 bit/s or size 0,
// emptied when the text does not fit). 64 bits: nl80211 reports rates above
// 4.29 Gbit/s.
int format_bitrate(uint64_t bps, char *buf, uint32_t size);

// A signal as a driver reports it, in lumra's terms; each figure optional.
struct signal_record {
  bool has_quality = false;
  uint8_t quality = 0;      // driver-scaled
  uint8_t quality_max = 0;  // its maximum; 0 when the driver gives none
  bool has_level = false;
  int16_t level_dbm = 0;
  bool has_noise = false;
  int16_t noise_dbm = 0;
};
// The signal in percent: the quality against its maximum (as it is without
// one), else the ratio of level to noise, else the level on cfg80211's scale
// of -110 to -40 dBm. Negative when the record gives none.
int signal_percent(const signal_record &s);
constexpr bool signal_given(const signal_record &s) { return s.has_quality || s.has_level; }
// Above 100 is stored as 100, so that the cache stays readable.
constexpr int clamp_percent(int percent) { return percent > 100 ? 100 : percent; }

// Records the security descriptors of a buffer of information elements in
// the entry's slots; all_suites (-s): every key-management suite named from
// the IEEE 802.11 suite table, the first one included, else only as the
// network line has always named them.
int parse_security_ies(network_entry *entry, const unsigned char *buf, int len, bool all_suites);
// The name -s gives an AKM suite selector (OUI and type, big-endian) of a
// WPA (wpa_element) or RSN element: from its element's own OUI's table, else
// "AKM" and the decimal type. Into out, cut to size (7 bytes hold any).
void format_akm_suite(bool wpa_element, uint32_t selector, char *out, size_t size);
// Writes text into the slot under construction and commits it; with every
// slot in use (or a count out of range) the descriptor is dropped and the
// rest of the cell still counts.
void add_descriptor(network_entry *entry, const char *text);
