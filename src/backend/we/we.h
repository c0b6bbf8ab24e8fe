// SPDX-License-Identifier: MIT
// The Wireless Extensions backend, registered as "WE".
#pragma once

#include <cstdint>

#include <iwlib.h>

#include "backend/backend.h"
#include "backend/ieee80211/ieee80211.h"
#include "backend/flow.h"

struct network_entry;

// Its operations (we_ops.scan, .current, .probe) over the primitives.
extern const backend_ops we_ops;

// A quality report as a signal record, read as libiw reads it against the
// range (null: none): the quality against its maximum, a level in dBm, or a
// level and noise that are both above their maxima, and so in dBm too. An
// RCPI report gives none.
signal_record we_signal(const iw_quality &q, const iw_range *range);

// The oldest Wireless Extensions this backend reads: scanning came with 14.
constexpr int kLowestWeVersion = 14;

// The instance: the generic part first, then this backend's own state.
struct we_ctx {
  backend_ctx base;
  int32_t fd;      // the socket of the running operation, or -1
  iw_range range;  // a cached run's, read with the association
  // The target of a directed scan: the present ESSID and frequency.
  uint8_t essid[IW_ESSID_MAX_SIZE];
  uint32_t essid_len;
  iw_freq freq;
};

// The WE instance behind a generic pointer that we_create returned.
inline we_ctx *we_of(backend_ctx *ctx) { return reinterpret_cast<we_ctx *>(ctx); }

backend_ctx *we_create();
void we_destroy(backend_ctx *ctx);
// The associated access point and its bit rate; needs an open fd.
void we_link_snapshot(backend_ctx *ctx, link_record *link);
// The primitives (backend/flow.h) over the open fd.
int we_association(backend_ctx *ctx, link_record *link);
int we_target(backend_ctx *ctx);
void we_figures(backend_ctx *ctx, link_record *f);
// Whether an access point address is one of the drivers' placeholders
// (all bytes 0, 0xff or 0x44, the last meaning "none"), *value its byte.
bool we_placeholder(const sockaddr &addr, unsigned char *value);
// Reads the interface's range through the open fd; -1 (recorded for -v)
// when it cannot be read or its version is older than kLowestWeVersion,
// lacking saying what that version cannot do.
int we_read_range(backend_ctx *ctx, iw_range *range, const char *lacking);
// After a Wireless Extensions request failed with err: 0 when it failed
// because the interface has none (ENOTTY from a kernel without them, for any
// name; EOPNOTSUPP from cfg80211 for an interface it serves without them),
// the cause recorded; -1 otherwise. The flags request tells a missing
// interface ("No such device", recorded), as iwconfig tells it, from one
// without Wireless Extensions. Needs an open fd.
int we_lacks_extensions(backend_ctx *ctx, int err);

// One pass: trigger (req null: directed at the ESSID and frequency of ctx;
// none for req->last), wait, fetch, decode; a pass_result. fd must be open.
int we_pass(backend_ctx *ctx, const scan_request *req, cell_batch *batch);
// The range's frequencies in MHz, at most room; how many, or -1.
int we_frequencies(backend_ctx *ctx, uint32_t *mhz, int room);
// Turns one fetched scan result into the batch's cells; 0, or -1 when out
// of memory.
int we_decode_scan(char *buffer, int length, const struct iw_range *range, cell_batch *batch);

// The channel of a value from iw_freq2float (a frequency in Hz, or a channel
// number that the driver sent as such), by the range and else by the 802.11
// channel plan; negative only when neither gives one.
int we_channel_of(double freq, const struct iw_range *range);
// The whole megahertz of a frequency in Hz from 2400 MHz to 71 GHz, or 0.
long we_mhz_of(double freq);
