// SPDX-License-Identifier: MIT
// The scan rules every backend follows, written once over each backend's
// primitives: the refresh (what it may ask, the frequencies it scans,
// bringing the interface up, the link snapshot, its passes and their
// pauses; the kernel's list alone for -l), the cached run (the associated entry, a
// directed scan when it is missing, `added`), and what a pass's cells do to
// the list (the new-address rule, the association mark, the descriptors,
// the WEP rule). A backend's primitives read the driver and hand back
// records; only this flow touches the list.
#pragma once

#include <net/if.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "backend/ieee80211/ieee80211.h"

#include "backend/backend.h"

struct network_entry;

using byte_span = std::span<const uint8_t>;

// How long a pass waits for its results: a first wait, then retries apart,
// about 15 s in all.
inline constexpr long kFirstWaitUs = 250000;
inline constexpr long kRetryWaitUs = 100000;
inline constexpr int kWaitRetries = 147;
inline constexpr long kScanBudgetUs = kFirstWaitUs + kWaitRetries * kRetryWaitUs;

// A cell's mode as the network line names it: "", "Master", "Ad-Hoc".
enum cell_mode : uint8_t { kModeUnreported, kModeOther, kModeMaster, kModeAdHoc };

// One cell of a pass's result in lumra's terms. A field not reported leaves
// the entry's as it is. Small: a pass may hold thousands.
struct cell_record {
  uint8_t addr[6];
  uint8_t mode;  // a cell_mode
  bool has_channel : 1;
  bool privacy : 1;          // encryption reported on
  bool essid_oversized : 1;  // an ESSID over 32 bytes was passed over
  bool has_last_seen : 1;
  int32_t channel;
  uint32_t first_report;  // its security reports, in the batch's order
  signal_record signal;   // none given: the entry's quality stays
  uint16_t reports;
  uint32_t frequency_mhz;  // 0: not given
  // The ESSID as a pointer and a byte's length rather than a span, so that
  // the record stays within 48 bytes.
  const uint8_t *essid_data;
  uint32_t last_seen_ms;  // how long ago the cell was last heard
  uint8_t essid_len;

  // At most 32 bytes; empty for none.
  byte_span essid() const { return {essid_data, essid_len}; }
  // false, the ESSID unchanged, for more than 32 bytes.
  bool set_essid(byte_span bytes) {
    if (bytes.size() > 32) return false;
    essid_data = bytes.data();
    essid_len = static_cast<uint8_t>(bytes.size());
    return true;
  }
};
static_assert(sizeof(cell_record) <= 48);

// How a pass's cells meet the list: the association's address and rate
// texts ("" for none), and whether the pass was directed at it; whether new
// entries get their site-survey record (-j), and the rate for it in kbit/s
// (0: none); the request whose frequencies alone a limited pass lists (the
// kernel's list holds cells of others).
struct cell_rules {
  const char *ap_addr;
  const char *ap_rate;
  bool directed;
  bool all_suites = false;  // -s (backend_ctx)
  bool survey = false;
  uint64_t ap_kbps = 0;
  const scan_request *only = nullptr;
};

// A security report of a cell: information elements, or encryption "off"
// (empty). Drivers may spread a cell's reports over several events in any
// order; the descriptors keep that order.
using security_report = byte_span;

// The cells of one pass, in the order the driver reported them, and the
// storage they point into: the fetch buffer and copies that outlive the
// driver's own buffers. Released on every path.
class cell_batch {
 public:
  // filter: the rules of the pass, so that cells the merge would pass over
  // are not converted at all; null keeps every cell.
  explicit cell_batch(const cell_rules *filter = nullptr) : filter_(filter) {}
  cell_batch(const cell_batch &) = delete;
  cell_batch &operator=(const cell_batch &) = delete;
  ~cell_batch();

  // A cell of this address: 1 with *cell a new record holding only the
  // address (valid until the next open), 0 when the list has the address
  // or the pass is directed at another (the cell's reports are then
  // passed over), -1 when out of memory.
  int open(const uint8_t (&addr)[6], cell_record **cell);
  // A security report of the last cell added ("off", or elements, of which
  // a lone byte says nothing); 0, or -1 when out of memory.
  int report(bool off, byte_span ies);
  // bytes copied into the batch's storage; false when out of memory.
  bool keep(byte_span bytes, byte_span *copy);
  // The fetch buffer resized to size bytes (what it held kept up to the
  // smaller size); null, with the buffer released, when out of memory.
  char *fetch_buffer(size_t size);

  std::span<const cell_record> cells() const { return {cells_, count_}; }
  std::span<const security_report> reports_of(const cell_record &cell) const {
    return {reports_ + cell.first_report, cell.reports};
  }

  // What the last fetch reported (bytes or cells); 0 when the pass heard
  // nothing. Fetches and buffer enlargements of the pass.
  uint32_t reported = 0;
  uint32_t fetches = 0;
  uint32_t grows = 0;

 private:
  const cell_rules *filter_;
  cell_record *cells_ = nullptr;
  size_t count_ = 0;
  size_t cell_room_ = 0;
  security_report *reports_ = nullptr;
  uint32_t report_count_ = 0;
  uint32_t report_room_ = 0;
  uint8_t **kept_ = nullptr;  // the copies, each a block of its own
  size_t kept_count_ = 0;
  size_t kept_room_ = 0;
  char *fetch_ = nullptr;
};

// What a pass returns: its cells are in the batch whatever the outcome.
enum pass_result : int {
  kPassDone = 0,
  kPassFailed = -1,    // the cause recorded
  kPassTimedOut = -2,  // no result within kScanBudgetUs
};

// The link as a backend reads it: the associated BSS, and for a cached run
// its live figures.
struct link_record {
  bool has_addr;  // an associated BSS with a real address
  uint8_t addr[6];
  bool has_rate;
  uint64_t rate_bps;
  signal_record signal;
  bool has_channel;
  int32_t channel;
  // The live level in dBm for the site survey where signal lacks it (the
  // statistics Wireless Extensions read for the line drop the dBm flag).
  signal_record dbm;
};

// What a backend writes: its primitives, each over the instance, which
// holds the operation's sockets between open and close. Each returns 0 or
// -1 with the cause recorded in ctx->why unless said otherwise.
struct backend_primitives {
  // The most frequencies one scan request carries (at most kScanFreqRoom),
  // and whether it can ask for a low-priority scan.
  uint8_t freq_room;
  bool low_priority;
  // Opens the operation's sockets; close (always called after a successful
  // open) closes them, so that an instance holds none between operations.
  int (*open)(backend_ctx *ctx);
  void (*close)(backend_ctx *ctx);
  // Whether the backend can serve the interface at all, found without
  // changing anything: 1 it can, 0 it cannot (another backend may), -1 the
  // question failed (a missing interface, say).
  int (*probe)(backend_ctx *ctx);
  // An interface request (the flags' SIOCGIFFLAGS and SIOCSIFFLAGS) on the
  // operation's datagram socket; -1 with errno, as for a missing interface.
  int (*interface)(backend_ctx *ctx, unsigned long request, ifreq *ifr);
  // The association as a refresh notes it; -1 fails the refresh.
  int (*link)(backend_ctx *ctx, link_record *link);
  // Ready to scan after the link is read (nl80211 joins its event group).
  int (*prepare)(backend_ctx *ctx);
  // The interface's frequencies in MHz, at most room of them: how many, or -1.
  int (*frequencies)(backend_ctx *ctx, uint32_t *mhz, int room);
  // One pass as req asks: trigger, wait and fetch (req->last: fetch
  // alone); a pass_result. req null: directed at the associated network's
  // ESSID and frequency that target read. req->freqs are the interface's own.
  int (*pass)(backend_ctx *ctx, const scan_request *req, cell_batch *batch);
  void (*pause)(backend_ctx *ctx, int ms);
  // Cached runs, of an interface that is up: 1 associated (link->has_addr
  // 0 when the driver names no real address), 0 not associated, -1 failed,
  // kUnserved.
  int (*association)(backend_ctx *ctx, link_record *link);
  // Reads the associated network's ESSID and frequency for a directed pass.
  int (*target)(backend_ctx *ctx);
  void (*figures)(backend_ctx *ctx, link_record *figures);
};

// The operations of backend.h over a backend's primitives, their contracts
// kept here.
// Refresh: probes; refuses (kRefused) what the backend or the interface
// cannot carry; brings the interface up if it is down, reads the link and
// scans req.passes times, two seconds apart. req.last: the link and one
// fetch alone, the interface left as it is.
int backend_refresh(backend_ctx *ctx, const backend_primitives &p, const scan_request &req,
                    cause *why);
// Cached run: the associated network's entry brought up to date, added by a
// directed scan when the list lacks it (*added 1). A missing or down
// interface sets ctx->stale, its cause recorded in *why.
int backend_current(backend_ctx *ctx, const backend_primitives &p, int *added, cause *why);
// The probe with the sockets it needs; 1 also when they cannot be opened
// (the operation then tells why).
int backend_probe(backend_ctx *ctx, const backend_primitives &p, cause *why);

// The operations table of a backend of primitives P.
template <const backend_primitives &P>
constexpr backend_ops backend_ops_of(backend_ctx *(*create)(), void (*destroy)(backend_ctx *)) {
  return {.create = create,
          .destroy = destroy,
          .scan = [](backend_ctx *ctx, const scan_request &req,
                     cause *why) { return backend_refresh(ctx, P, req, why); },
          .current = [](backend_ctx *ctx, int *added,
                        cause *why) { return backend_current(ctx, P, added, why); },
          .probe = [](backend_ctx *ctx, cause *why) { return backend_probe(ctx, P, why); }};
}

// Zeroes an interface request and names ctx's interface in it
// (backend_open allows no name of IFNAMSIZ bytes or more).
void interface_request(const backend_ctx *ctx, ifreq *ifr);

// A pass primitive of a backend.
using pass_fn = int (*)(backend_ctx *ctx, const scan_request *req, cell_batch *batch);
// One pass as req asks (null: directed) and its cells merged by the rules;
// the WEP rule after it. 0, or -1 with the cause recorded: the pass failed,
// timed out, or heard nothing (counted as empty).
int backend_pass(backend_ctx *ctx, pass_fn pass, const cell_rules &rules, const scan_request *req);
// Adds the batch's cells to the list: an entry for each cell whose address
// the list lacks (and, in a directed pass, that is the associated one),
// marked current with ap_rate when associated; cells whose ESSID was passed
// over counted. 0, or -1 when out of memory, the entries added so far staying.
int merge_batch(const cell_batch &batch, const cell_rules &rules, diag_counts *counts);
// Encrypted entries that carry no descriptor but WPS get "WEP". Runs over the
// whole list, so entries of earlier passes and of the cache are included.
void apply_wep_rule();

// Records that request (such as "SIOCGIWFREQ") failed on ctx's interface
// with err; -1.
int request_failed(const backend_ctx *ctx, int err, const char *request);

// A refused scan trigger: EBUSY joins the scan already running (0, counted);
// anything else is recorded with its hint and fails (-1). request names it
// ("SIOCSIWSCAN"); hint, when not null, replaces the permission hint.
int trigger_refused(backend_ctx *ctx, int err, const char *request, const char *hint);
