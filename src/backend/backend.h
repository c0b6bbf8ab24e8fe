// SPDX-License-Identifier: MIT
// Named backends: tables of operations registered at start-up and opened by name.
#pragma once

#include <cstdint>

#include "diag/diag.h"

struct network_entry;
struct backend_ctx;

// The most frequencies a scan request holds (nl80211 carries them all; a
// backend may carry fewer).
inline constexpr int kScanFreqRoom = 64;

// What a refresh asks of the scan, from the command line down to the
// primitives. Small and fixed in size: no allocation on the way.
struct scan_request {
  uint8_t passes = 5;         // 1 to 10, two seconds apart
  bool last = false;          // list what the kernel holds: no scan, nothing changed
  bool passive = false;       // no probe requests
  bool low_priority = false;  // nl80211's low-priority flag
  uint8_t bands = 0;          // band_of() bits; with freqs, 0 for none: every channel
  uint8_t freq_count = 0;
  uint16_t freqs[kScanFreqRoom] = {};  // MHz, of the three bands
};

// The bit in scan_request::bands of the band of a frequency in MHz: 1 for
// 2.4 GHz, 2 for 5 (4.9 within it), 4 for 6; 0 outside them.
uint8_t band_of(uint32_t mhz);

// The operations of a backend. Each operation that talks to the driver opens
// its own sockets and closes them before it returns, so an instance holds
// none between calls. Failures return -1 with the cause recorded in why,
// which the caller owns; nothing is printed.
struct backend_ops {
  // A new instance with no socket open, or null when out of memory.
  // backend_open then fills in ops and ifname.
  backend_ctx *(*create)();
  // Frees the instance.
  void (*destroy)(backend_ctx *ctx);
  // Refresh run as req asks (backend/flow.h; one fetch without a scan for
  // req.last). Brings the interface up if it is down, notes the association
  // and scans in req.passes passes two seconds apart. Each pass appends an
  // entry for every network whose address the list does not hold yet (so the list,
  // empty before the first pass, gains each network once) and then gives
  // "WEP" to encrypted entries without another descriptor. 0 after the last
  // pass; -1 when a pass fails, the entries appended so far staying listed;
  // kUnserved; kRefused.
  int (*scan)(backend_ctx *ctx, const scan_request &req, cause *why);
  // Cached run: the list holds the cache's entries. Refreshes the bit rate
  // (marking the entry current), quality and channel of the associated
  // network's entry. An empty list, an interface that is missing or down, or
  // no association: 0 with the list untouched. When the list lacks the
  // associated network, one directed scan adds it; *added (when added is not
  // null; always written) is then 1, so the caller rewrites the cache, and
  // 0 otherwise, also on failure. 0, or -1 when the interface or its
  // association cannot be read; kUnserved.
  int (*current)(backend_ctx *ctx, int *added, cause *why);
  // Whether this backend can serve the interface at all, asked before
  // anything is changed: 1 it can, 0 it cannot (the cause recorded: why
  // not; another backend may serve), -1 the question failed (the cause
  // recorded; the operations will fail alike).
  int (*probe)(backend_ctx *ctx, cause *why);
};

// What an operation returns, beside 0 and -1, when it failed because this
// backend cannot serve the interface at all (found before anything changed).
inline constexpr int kUnserved = -2;
// What a refresh returns when the backend or the interface cannot carry
// the request (a frequency it lacks, too many, a flag), found before
// anything changed: the run ends as an option error does.
inline constexpr int kRefused = -3;

// What every backend instance shares; backend_open fills it after create.
// Each backend's own state is a record whose first member is this one.
struct backend_ctx {
  const backend_ops *ops;
  const char *ifname;  // borrowed from the command line
  cause *why;          // where the running operation's sites record its cause
  bool all_suites;     // -s: the descriptors name every key-management suite
  diag_counts counts;  // what the run's scans did, for -v and -j
  bool survey;         // each new entry gets its site-survey record (-j)
  bool stale;          // current: the association could not be read
};

// 0, or -1 when the name is taken or no memory is left. Names are borrowed.
int backend_register(const char *name, const backend_ops *ops);
// A new instance of the named backend, or null. Null also, without a call of
// create, for an interface name that is empty or of IFNAMSIZ bytes or more
// (the cause recorded in why).
backend_ctx *backend_open(const char *name, const char *ifname, cause *why);

namespace backend_internal {

struct registry_node;

// An empty registry for the guard's lifetime, so that a test registers names
// of its own without meeting those of other tests or of start-up; what was
// registered meanwhile is freed and the registry restored. Not for product code.
class scoped_registry {
 public:
  scoped_registry();
  ~scoped_registry();
  scoped_registry(const scoped_registry &) = delete;
  scoped_registry &operator=(const scoped_registry &) = delete;

 private:
  registry_node *saved_;
};

}  // namespace backend_internal
