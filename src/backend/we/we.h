// The Wireless Extensions backend, registered as "WE".
#pragma once

#include <cstdint>

#include <iwlib.h>

#include "backend/backend.h"

struct network_entry;

extern const backend_ops we_ops;

backend_ctx *we_create();
void we_destroy(backend_ctx *ctx);
// Records the associated access point and its bit rate; needs an open fd.
void we_link_snapshot(backend_ctx *ctx);
// "%d %cbit/s" into buf; 0, or -1 (buf untouched below 1000 bit/s or size 0,
// emptied when the text does not fit).
int format_bitrate(uint32_t bps, char *buf, uint32_t size);

// Five scan passes two seconds apart; 0 or -1.
int we_scan(backend_ctx *ctx);
// One scan: trigger, wait, fetch, decode. fd must be open.
int we_scan_once(backend_ctx *ctx, int directed, const void *essid, int essid_len,
                 const struct iw_freq *freq);
// Turns one fetched scan result into list entries.
int we_decode_scan(backend_ctx *ctx, char *buffer, int length, const struct iw_range *range);
// Brings the associated network's entry up to date (cached runs).
int we_current(backend_ctx *ctx, int *added);

// Percent from a quality record; negative when the record gives none.
int quality_percent(const struct iw_quality *qual, const struct iw_range *range);
// The channel of a value from iw_freq2float (a frequency in Hz, or a channel
// number that the driver sent as such), by the range and else by the 802.11
// channel plan; negative only when neither gives one.
int we_channel_of(double freq, const struct iw_range *range);

// Records the security descriptors of a buffer of information elements.
int parse_security_ies(backend_ctx *ctx, const unsigned char *buf, int len);
void parse_wpa_ie(backend_ctx *ctx, int kind, const unsigned char *ie, int avail);
void add_unknown_security(network_entry *entry);
