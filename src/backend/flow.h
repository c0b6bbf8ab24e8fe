// SPDX-License-Identifier: MIT
// The scan rules every backend follows, written once over each backend's
// primitives: the refresh (bringing the interface up, the link snapshot,
// five passes and their pauses), the cached run (the associated entry, a
// directed scan when it is missing, `added`), starting a cell's entry with
// the association mark, joining a running scan, and the WEP rule.
#pragma once

#include <cstdint>
#include <span>

struct backend_ctx;
struct network_entry;

// What a refresh needs of a backend; env is the backend's state of the
// operation (its sockets). Each returns 0 or -1.
struct refresh_primitives {
  int (*get_flags)(backend_ctx *ctx, void *env, short *flags);
  int (*set_flags)(backend_ctx *ctx, void *env, short flags);
  // Records the association; -1 fails the refresh (the cause recorded).
  int (*link_snapshot)(backend_ctx *ctx, void *env);
  // Ready to scan after the snapshot (nl80211 joins its event group).
  int (*prepare)(backend_ctx *ctx, void *env);
  // One plain scan: trigger, wait, fetch and add the cells.
  int (*scan_once)(backend_ctx *ctx, void *env);
  void (*pause)(backend_ctx *ctx, void *env, int ms);
};
// Brings the interface up if it is down, takes the link snapshot and scans
// five times, two seconds apart; 0, or -1 with the cause recorded.
int backend_refresh(backend_ctx *ctx, void *env, const refresh_primitives &p);

// What a cached run needs of a backend.
struct current_primitives {
  // Opens the operation's sockets; -1 (the cause recorded) fails the run.
  int (*open)(backend_ctx *ctx, void *env);
  // 1 with ap_addr (the instance's) filled when the interface is up and
  // associated, 0 when it is missing, down or not associated, -1 on failure.
  int (*association)(backend_ctx *ctx, void *env);
  // The associated cell by a scan directed at its ESSID and frequency; its
  // result does not matter, but -1 (the cause recorded) fails the run when
  // those cannot be read.
  int (*directed_scan)(backend_ctx *ctx, void *env);
  // The entry's rate (and current mark), quality and channel from the link.
  void (*refresh)(backend_ctx *ctx, void *env, network_entry *entry);
};
// The associated network's entry brought up to date, added by a directed
// scan when the list lacks it (*added 1); 0 or -1.
int backend_current(backend_ctx *ctx, void *env, const current_primitives &p,
                    const char (&ap_addr)[18], int *added);

// The cell of a scan result with address addr: a new entry when the list
// lacks the address (and, in a directed scan, it is the associated one), or
// null to pass over the cell. *failed is set when no entry could be made.
// The associated cell's entry is marked current and gets ap_rate.
struct cell_rules {
  const char *ap_addr;  // the associated BSS's address text, or ""
  const char *ap_rate;  // its bit-rate text, or ""
  bool directed;
};
network_entry *open_cell(const uint8_t (&addr)[6], const cell_rules &rules, bool *failed);

// What a backend's decoder reports of one cell, in lumra's terms. A field not
// reported leaves the entry's as it is.
struct cell_record {
  bool has_channel = false;
  int32_t channel = 0;
  const char *mode = nullptr;        // "Master", "Ad-Hoc", "", or null
  bool privacy = false;              // encryption reported on
  bool off = false;                  // encryption reported off: the descriptor "off"
  int quality = -1;                  // percent, negative for none
  std::span<const uint8_t> essid{};  // at most 32 bytes; empty for none
  std::span<const uint8_t> ies{};    // the information elements, walked last
};
// Fills a cell's entry from its record: the "off" descriptor comes before
// those of the elements. A decoder whose elements arrive in pieces among
// other reports (Wireless Extensions' events) hands each of those over as it
// comes, in a record of its own, and the rest at the cell's end.
// 0, or -1 when the elements cannot be recorded.
int fill_cell(network_entry *entry, const cell_record &cell);
// Encrypted entries that carry no descriptor but WPS get "WEP". Runs over the
// whole list, so entries of earlier passes and of the cache are included.
void apply_wep_rule();

// A refused scan trigger: EBUSY joins the scan already running (0, counted);
// anything else is recorded with its hint and fails (-1). request names it
// ("SIOCSIWSCAN"); hint, when not null, replaces the permission hint.
int trigger_refused(const backend_ctx *ctx, int err, const char *request, const char *hint);
