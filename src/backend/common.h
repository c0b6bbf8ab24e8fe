// SPDX-License-Identifier: MIT
// What the backends share: the bit-rate text, the link quality percentage of
// a Wireless Extensions quality record, the security element walker and the
// small helpers that fill network entries.
#pragma once

// net/if.h before the kernel's wireless.h, whose linux/if.h would clash with it.
#include <net/if.h>
// The Wireless Extensions records. libiw's copy of the header has the same
// guard, so whichever comes first is used. Its iw_range is 20 bytes longer
// than the kernel's; the fields read here lie at the same offsets in both,
// but a file that hands an iw_range to libiw must include libiw's headers
// before this one, or libiw writes past the shorter record.
#include <linux/wireless.h>

#include <cstdint>

#include "netlist/netlist.h"

// "%d %cbit/s" into buf; 0, or -1 (buf untouched below 1000 bit/s or size 0,
// emptied when the text does not fit). 64 bits: nl80211 reports rates above
// 4.29 Gbit/s.
int format_bitrate(uint64_t bps, char *buf, uint32_t size);

// Percent from a quality record; negative when the record gives none.
int quality_percent(const struct iw_quality *qual, const struct iw_range *range);
// Above 100 is stored as 100, so that the cache stays readable.
constexpr int clamp_percent(int percent) { return percent > 100 ? 100 : percent; }
// Stores a percentage as the entry's quality; a negative one (none) leaves it.
void set_quality(network_entry *entry, int percent);

// The first entry whose address text equals bssid as strncmp over the field
// would find it, by a walk with the list's cursor; null when none does.
network_entry *find_entry(const char (&bssid)[18]);

// Records the security descriptors of a buffer of information elements in
// the entry's slots.
int parse_security_ies(network_entry *entry, const unsigned char *buf, int len);
void parse_wpa_ie(network_entry *entry, int kind, const unsigned char *ie, int avail);
void add_unknown_security(network_entry *entry);
// Writes text into the slot under construction and commits it; with every
// slot in use (or a count out of range) the descriptor is dropped and the
// rest of the cell still counts.
void add_descriptor(network_entry *entry, const char *text);
