// What the backends share: the bit-rate text, the link quality percentage of
// a Wireless Extensions quality record, and the security element walker.
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

struct network_entry;

// "%d %cbit/s" into buf; 0, or -1 (buf untouched below 1000 bit/s or size 0,
// emptied when the text does not fit).
int format_bitrate(uint32_t bps, char *buf, uint32_t size);

// Percent from a quality record; negative when the record gives none.
int quality_percent(const struct iw_quality *qual, const struct iw_range *range);

// Records the security descriptors of a buffer of information elements in
// the entry's slots.
int parse_security_ies(network_entry *entry, const unsigned char *buf, int len);
void parse_wpa_ie(network_entry *entry, int kind, const unsigned char *ie, int avail);
void add_unknown_security(network_entry *entry);
