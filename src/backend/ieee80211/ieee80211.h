// SPDX-License-Identifier: MIT
// What every backend reads alike from 802.11: the security elements, the
// bit-rate text, the link quality percentage and the channel plan
// (channel_plan.h), over lumra's own records; no driver interface's.
#pragma once

#include <cstddef>
#include <cstdint>

struct network_entry;

// "%d %cbit/s" into buf; 0, or -1 (buf untouched below 1000 bit/s or size 0,
// emptied when the text does not fit). 64 bits: nl80211 reports rates above
// 4.29 Gbit/s.
int format_bitrate(uint64_t bps, char *buf, uint32_t size);

// A link quality report: the fields and flags of the Wireless Extensions
// quality record (its public ABI), which the other backends' figures are
// read as.
struct link_quality {
  uint8_t qual;
  uint8_t level;
  uint8_t noise;
  uint8_t updated;  // kQual* flags
};
inline constexpr uint8_t kQualQualUpdated = 0x01;
inline constexpr uint8_t kQualLevelUpdated = 0x02;
inline constexpr uint8_t kQualDbm = 0x08;  // level and noise in dBm
inline constexpr uint8_t kQualQualInvalid = 0x10;
inline constexpr uint8_t kQualNoiseInvalid = 0x40;
inline constexpr uint8_t kQualRcpi = 0x80;  // level and noise as 802.11k RCPI
// The driver's maxima for the three figures.
struct quality_max {
  uint8_t qual;
  uint8_t level;
  uint8_t noise;
};

// Percent from a quality report; max null when the driver gives no range.
// Negative when the report gives none.
int quality_percent(const link_quality *qual, const quality_max *max);
// Whether a scanned cell's report counts: one marked invalid, and one whose
// level is 0 without dBm or RCPI, leave the entry's figure alone.
constexpr bool quality_usable(const link_quality &qual) {
  if (qual.updated & kQualQualInvalid) return false;
  return qual.level != 0 || (qual.updated & (kQualDbm | kQualRcpi)) != 0;
}
// Above 100 is stored as 100, so that the cache stays readable.
constexpr int clamp_percent(int percent) { return percent > 100 ? 100 : percent; }

// Records the security descriptors of a buffer of information elements in
// the entry's slots.
int parse_security_ies(network_entry *entry, const unsigned char *buf, int len);
void parse_wpa_ie(network_entry *entry, int kind, const unsigned char *ie, int avail);
void add_unknown_security(network_entry *entry);
// The name -s gives an AKM suite selector (OUI and type, big-endian) of a
// WPA (wpa_element) or RSN element: from its element's own OUI's table, else
// "AKM" and the decimal type. Into out, cut to size (7 bytes hold any).
void format_akm_suite(bool wpa_element, uint32_t selector, char *out, size_t size);
// Writes text into the slot under construction and commits it; with every
// slot in use (or a count out of range) the descriptor is dropped and the
// rest of the cell still counts.
void add_descriptor(network_entry *entry, const char *text);
