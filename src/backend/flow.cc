// SPDX-License-Identifier: MIT
#include "backend/flow.h"

#include <errno.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backend/backend.h"
#include "backend/ieee80211/channel_plan.h"
#include "backend/ieee80211/ieee80211.h"
#include "backend/ieee80211/survey.h"
#include "diag/diag.h"
#include "netlist/netlist.h"

namespace {

constexpr int kPauseMs = 2000;
// Room for the frequencies of any wiphy's bands.
constexpr int kSupportedRoom = 160;

// Grows a block of trivially copyable records to hold one more, by half
// again (the batch lives beside the list at the peak of the heap); false
// when out of memory, the block kept.
template <typename T, typename N>
bool room_for_one(T **items, N count, N *room) {
  if (count < *room) return true;
  const N grown = *room == 0 ? 16 : *room + *room / 2;
  void *more = realloc(static_cast<void *>(*items), grown * sizeof(T));
  if (more == nullptr) return false;
  *items = static_cast<T *>(more);
  *room = grown;
  return true;
}

// The interface flags by a request (SIOCGIFFLAGS, or SIOCSIFFLAGS to set
// *flags); 0, or -1 with errno.
int flags_request(backend_ctx *ctx, const backend_primitives &p, unsigned long request,
                  short *flags) {
  ifreq ifr;
  interface_request(ctx, &ifr);
  ifr.ifr_flags = *flags;
  if (p.interface(ctx, request, &ifr) != 0) return -1;
  *flags = ifr.ifr_flags;
  return 0;
}

// A percentage as the entry's quality; a negative one (none) leaves it.
void set_quality(network_entry *entry, int percent) {
  if (percent >= 0) entry->quality = static_cast<uint8_t>(clamp_percent(percent));
}

// The first entry of the address text, as strncmp over the field finds it.
network_entry *find_entry(const char (&bssid)[18]) {
  for (network_entry *entry = list_first(); entry != nullptr; entry = list_next())
    if (strncmp(entry->bssid, bssid, sizeof entry->bssid) == 0) return entry;
  return nullptr;
}

// Whether the merge would take a cell of this address text, as the list
// stands.
bool takes(const char (&text)[18], const cell_rules &rules) {
  if (list_find_bssid(text) != nullptr) return false;
  return !rules.directed || strncmp(text, rules.ap_addr, sizeof text) == 0;
}

}  // namespace

cell_batch::~cell_batch() {
  free(cells_);
  free(reports_);
  free(fetch_);
  for (size_t i = 0; i < kept_count_; i++) free(kept_[i]);
  free(kept_);
}

int cell_batch::open(const uint8_t (&addr)[6], cell_record **cell) {
  *cell = nullptr;
  if (filter_ != nullptr) {
    char text[18];
    list_bssid_text(addr, text);
    if (!takes(text, *filter_)) return 0;
  }
  if (!room_for_one(&cells_, count_, &cell_room_)) return -1;
  *cell = &cells_[count_++];
  **cell = cell_record{};
  memcpy((*cell)->addr, addr, sizeof(*cell)->addr);
  (*cell)->first_report = report_count_;
  return 1;
}

int cell_batch::report(bool off, byte_span ies) {
  if (!off && ies.size() <= 1) return 0;
  if (count_ == 0 || cells_[count_ - 1].reports == UINT16_MAX ||
      !room_for_one(&reports_, report_count_, &report_room_))
    return -1;
  reports_[report_count_++] = off ? byte_span{} : ies;
  cells_[count_ - 1].reports++;
  return 0;
}

bool cell_batch::keep(byte_span bytes, byte_span *copy) {
  *copy = {};
  if (bytes.empty()) return true;
  if (!room_for_one(&kept_, kept_count_, &kept_room_)) return false;
  auto *block = static_cast<uint8_t *>(malloc(bytes.size()));
  if (block == nullptr) return false;
  memcpy(block, bytes.data(), bytes.size());
  kept_[kept_count_++] = block;
  *copy = byte_span(block, bytes.size());
  return true;
}

char *cell_batch::fetch_buffer(size_t size) {
  void *grown = realloc(fetch_, size);
  if (grown == nullptr) {
    free(fetch_);
    fetch_ = nullptr;
    return nullptr;
  }
  fetch_ = static_cast<char *>(grown);
  return fetch_;
}

namespace {

// Whether a limited scan lists the cell: the kernel's list holds the cells of
// every channel heard lately, not only of those scanned.
bool on_asked_channel(const cell_record &cell, const scan_request *req) {
  if (req == nullptr || req->freq_count == 0) return true;
  for (int i = 0; i < req->freq_count; i++)
    if (cell.has_channel && channel_of_mhz(req->freqs[i]) == cell.channel) return true;
  return false;
}

// The cell's entry: a new one when the list lacks the address (and, in a
// directed pass, it is the associated one), or null to pass over the cell.
// *failed is set when no entry could be made.
network_entry *open_cell(const uint8_t (&addr)[6], const cell_rules &rules, bool *failed) {
  char text[18];
  list_bssid_text(addr, text);
  if (!takes(text, rules)) return nullptr;
  const bool associated = strncmp(text, rules.ap_addr, sizeof text) == 0;
  network_entry *entry = list_append_new();
  if (entry == nullptr) {
    *failed = true;
    return nullptr;
  }
  memcpy(entry->bssid, text, sizeof entry->bssid);
  if (associated) {
    snprintf(entry->bitrate, sizeof entry->bitrate, "%.*s",
             static_cast<int>(strnlen(rules.ap_rate, sizeof entry->bitrate - 1)), rules.ap_rate);
    entry->current = 1;
  }
  return entry;
}

// The entry from its cell: the figures, then the security reports in order.
int fill_cell(network_entry *entry, const cell_record &cell,
              std::span<const security_report> reports, bool all_suites) {
  if (cell.has_channel) entry->channel = cell.channel;
  set_quality(entry, signal_percent(cell.signal));
  if (cell.privacy) entry->privacy = 1;
  if (cell.essid_len != 0) {
    memcpy(entry->essid, cell.essid_data, cell.essid_len);
    entry->essid_len = cell.essid_len;
  }
  static const char *const kModeText[] = {nullptr, "", "Master", "Ad-Hoc"};
  if (cell.mode != kModeUnreported)
    snprintf(entry->mode, sizeof entry->mode, "%s", kModeText[cell.mode]);
  for (const security_report &r : reports) {
    if (r.empty())
      add_descriptor(entry, "off");
    else if (parse_security_ies(entry, r.data(), static_cast<int>(r.size()), all_suites) != 0)
      return -1;
  }
  return 0;
}

// The live level and noise of a cell or of the association, where in dBm.
void survey_signal(network_survey *s, const signal_record &signal) {
  if (signal.has_level) survey_set(s, kSurveySignal, signal.level_dbm);
  if (signal.has_noise) survey_set(s, kSurveyNoise, signal.noise_dbm);
}

// The site-survey record of a new entry from its cell: the driver's
// figures, then what its elements say, read here once for every backend.
int fill_survey(network_entry *entry, const cell_record &cell,
                std::span<const security_report> reports, uint64_t ap_kbps) {
  network_survey *s = list_add_survey(entry);
  if (s == nullptr) return -1;
  survey_signal(s, cell.signal);
  if (cell.frequency_mhz != 0) {
    survey_set(s, kSurveyFrequency, cell.frequency_mhz);
    s->name[kSurveyBand] = band_of_mhz(cell.frequency_mhz);
  }
  if (cell.has_last_seen) survey_set(s, kSurveyLastSeen, cell.last_seen_ms);
  survey_parse(reports, cell.frequency_mhz, s);
  if (entry->current != 0 && ap_kbps != 0)
    survey_set(s, kSurveyBitrate, static_cast<int64_t>(ap_kbps));
  return 0;
}

}  // namespace

int backend_pass(backend_ctx *ctx, pass_fn pass, const cell_rules &rules, const scan_request *req) {
  cell_batch batch(&rules);
  const int result = pass(ctx, req, &batch);
  diag_counts &n = ctx->counts;
  n.fetches += batch.fetches;
  n.grows += batch.grows;
  // What came before a failure stays listed: each cell came whole.
  const int merged = merge_batch(batch, rules, &n);
  if (result == kPassTimedOut) {
    cause_set(ctx->why, nullptr, 0, "scan on %s: no result within 15 s", ctx->ifname);
    return -1;
  }
  if (result != kPassDone) return -1;
  if (merged != 0) {
    cause_set(ctx->why, nullptr, ENOMEM, "scan result of %s", ctx->ifname);
    return -1;
  }
  if (batch.reported == 0) {
    cause_set(ctx->why, "no-network", 0, "scan on %s found no network", ctx->ifname);
    n.empty++;
    return -1;
  }
  apply_wep_rule();
  n.passes++;
  return 0;
}

namespace {

// The association's address and rate texts, "" for none, and the rate in
// kbit/s where its text is given.
struct ap_texts {
  char addr[18] = "";
  char rate[11] = "";
  uint64_t kbps = 0;
};

ap_texts texts_of(const link_record &link) {
  ap_texts t;
  if (link.has_addr) list_bssid_text(link.addr, t.addr);
  if (link.has_addr && link.has_rate && format_bitrate(link.rate_bps, t.rate, sizeof t.rate) == 0)
    t.kbps = link.rate_bps / 1000;
  return t;
}

}  // namespace

int merge_batch(const cell_batch &batch, const cell_rules &rules, diag_counts *counts) {
  for (const cell_record &cell : batch.cells()) {
    if (!on_asked_channel(cell, rules.only)) continue;
    bool failed = false;
    network_entry *entry = open_cell(cell.addr, rules, &failed);
    if (failed) return -1;
    if (entry == nullptr) continue;
    if (cell.essid_oversized) counts->oversized++;
    if (fill_cell(entry, cell, batch.reports_of(cell), rules.all_suites) != 0 ||
        (rules.survey && fill_survey(entry, cell, batch.reports_of(cell), rules.ap_kbps) != 0))
      return -1;
  }
  return 0;
}

namespace {

// The operation's sockets, closed on every path, and where its causes go.
class Operation {
 public:
  Operation(backend_ctx *ctx, const backend_primitives &p, cause *why) : ctx_(ctx), p_(p) {
    ctx->why = why;
  }
  Operation(const Operation &) = delete;
  Operation &operator=(const Operation &) = delete;
  ~Operation() {
    if (open_) p_.close(ctx_);
  }
  int open() {
    open_ = p_.open(ctx_) == 0;
    return open_ ? 0 : -1;
  }

 private:
  backend_ctx *ctx_;
  const backend_primitives &p_;
  bool open_ = false;
};

}  // namespace

// As the channel plan draws them, 4.9 GHz within 5.
uint8_t band_of(uint32_t mhz) {
  if (mhz < 2400 || mhz > 7125) return 0;
  return mhz < 2500 ? 1 : mhz >= 5925 ? 4 : mhz >= 4900 ? 2 : 0;
}

namespace {

template <typename T>
bool holds(const T *mhz, int count, uint32_t f) {
  for (int i = 0; i < count; i++)
    if (mhz[i] == f) return true;
  return false;
}

// A limited scan's frequencies: each asked for, and each of an asked band,
// among the interface's own (in its order). kRefused for one it lacks, or
// for none or too many for the backend.
int resolve(backend_ctx *ctx, const backend_primitives &p, scan_request *req) {
  uint32_t have[kSupportedRoom];
  const int n = p.frequencies(ctx, have, kSupportedRoom);
  if (n < 0) return -1;
  for (int i = 0; i < req->freq_count; i++) {
    if (holds(have, n, req->freqs[i])) continue;
    cause_set(ctx->why, "bad-option", 0, "%s does not support %u MHz", ctx->ifname, req->freqs[i]);
    return kRefused;
  }
  int count = 0;
  for (int i = 0; i < n; i++)
    if ((req->bands & band_of(have[i])) != 0 || holds(req->freqs, req->freq_count, have[i]))
      have[count++] = have[i];
  if (count == 0 || count > p.freq_room) {
    cause_set(ctx->why, "bad-option", 0, "%s: %d frequencies, 1 to %u per scan", ctx->ifname, count,
              p.freq_room);
    return kRefused;
  }
  for (int i = 0; i < count; i++) req->freqs[i] = static_cast<uint16_t>(have[i]);
  req->freq_count = static_cast<uint8_t>(count);
  return 0;
}

}  // namespace

int backend_refresh(backend_ctx *ctx, const backend_primitives &p, const scan_request &asked,
                    cause *why) {
  Operation op(ctx, p, why);
  // An interface the backend cannot serve is left exactly as it was.
  if (op.open() != 0) return -1;
  const int serves = p.probe(ctx);
  if (serves != 1) return serves == 0 ? kUnserved : -1;
  // What it cannot carry is refused before anything changes.
  if (asked.low_priority && !p.low_priority) {
    cause_set(why, "bad-option", 0, "%s: --low-priority needs -b NL80211", ctx->ifname);
    return kRefused;
  }
  scan_request req = asked;
  if (req.bands != 0 || req.freq_count != 0) {
    const int resolved = resolve(ctx, p, &req);
    if (resolved != 0) return resolved;
  }
  // Listing what the kernel holds changes nothing, the interface's state included.
  const int passes = req.last ? 1 : req.passes;
  short flags = 0;
  if (!req.last && flags_request(ctx, p, SIOCGIFFLAGS, &flags) != 0)
    return request_failed(ctx, errno, "SIOCGIFFLAGS");
  const bool down = (flags & IFF_UP) == 0;
  flags = static_cast<short>(flags | IFF_UP);
  if (!req.last && down && flags_request(ctx, p, SIOCSIFFLAGS, &flags) != 0) {
    const int err = errno;
    if (cause_set(why, nullptr, err, "SIOCSIFFLAGS on %s", ctx->ifname) && err == EPERM)
      cause_append(why, " (bringing it up needs root or CAP_NET_ADMIN)");
    return -1;
  }
  link_record link{};
  if (p.link(ctx, &link) != 0 || (!req.last && p.prepare(ctx) != 0)) return -1;
  const ap_texts ap = texts_of(link);
  for (int pass = 1; pass <= passes; pass++) {
    if (backend_pass(ctx, p.pass,
                     {ap.addr, ap.rate, false, ctx->all_suites, ctx->survey, ap.kbps, &req},
                     &req) != 0)
      return -1;
    // A signal may shorten the pause.
    if (pass < passes) p.pause(ctx, kPauseMs);
  }
  return 0;
}

int backend_current(backend_ctx *ctx, const backend_primitives &p, int *added, cause *why) {
  if (added != nullptr) *added = 0;
  if (list_first() == nullptr) return 0;
  Operation op(ctx, p, why);
  if (op.open() != 0) return -1;
  // A missing or down interface leaves the cache as it is.
  short flags = 0;
  const bool missing = flags_request(ctx, p, SIOCGIFFLAGS, &flags) != 0;
  ctx->stale = missing || (flags & IFF_UP) == 0;
  if (ctx->stale) {
    cause_set(why, nullptr, missing ? errno : 0, missing ? "SIOCGIFFLAGS on %s" : "%s is down",
              ctx->ifname);
    return 0;
  }
  link_record link{};
  const int associated = p.association(ctx, &link);
  if (associated <= 0) return associated;  // a failure, or no association to refresh
  link.has_rate = false;                   // the entry's rate is the live one, read below
  const ap_texts ap = texts_of(link);
  network_entry *entry = link.has_addr ? find_entry(ap.addr) : nullptr;
  if (entry == nullptr) {
    if (p.target(ctx) != 0) return -1;
    // Its own failure does not matter: the list is searched again.
    cause ignored;
    ctx->why = &ignored;
    backend_pass(ctx, p.pass, {ap.addr, ap.rate, true, ctx->all_suites, ctx->survey}, nullptr);
    ctx->why = why;
    entry = link.has_addr ? find_entry(ap.addr) : nullptr;
    // Nothing was appended when the scan did not report the cell: the
    // cached list stands as it is and needs no rewrite.
    if (entry == nullptr) return 0;
    if (added != nullptr) *added = 1;
  }
  link_record f{};
  p.figures(ctx, &f);
  bool rate = false;
  if (f.has_rate) {
    rate = format_bitrate(f.rate_bps, entry->bitrate, 11) == 0;
    entry->current = 1;
  }
  // A figure without a percentage leaves the cached one.
  set_quality(entry, signal_percent(f.signal));
  if (f.has_channel) entry->channel = f.channel;
  if (!ctx->survey) return 0;
  // The live figures beside what the cache holds; out of memory, they stay null.
  network_survey *s = list_add_survey(entry);
  if (s == nullptr) return 0;
  survey_signal(s, f.signal);
  survey_signal(s, f.dbm);
  if (rate) survey_set(s, kSurveyBitrate, static_cast<int64_t>(f.rate_bps / 1000));
  return 0;
}

int backend_probe(backend_ctx *ctx, const backend_primitives &p, cause *why) {
  Operation op(ctx, p, why);
  if (op.open() != 0) return 1;
  return p.probe(ctx);
}

void interface_request(const backend_ctx *ctx, ifreq *ifr) {
  *ifr = {};
  memcpy(ifr->ifr_name, ctx->ifname, strnlen(ctx->ifname, IFNAMSIZ - 1));
}

void apply_wep_rule() {
  for (network_entry *entry = list_first(); entry != nullptr; entry = list_next()) {
    if (entry->privacy != 1) continue;
    if (entry->security_count == 0 || (entry->security_count == 1 && entry->wps == 1))
      add_descriptor(entry, "WEP");
  }
}

int request_failed(const backend_ctx *ctx, int err, const char *request) {
  cause_set(ctx->why, nullptr, err, "%s on %s", request, ctx->ifname);
  return -1;
}

int trigger_refused(backend_ctx *ctx, int err, const char *request, const char *hint) {
  // The radio is already scanning (for wpa_supplicant, say); that scan ends
  // with results too, so the pass waits for it like for a scan of its own.
  if (err == EBUSY) {
    ctx->counts.joined++;
    return 0;
  }
  if (hint == nullptr && (err == EPERM || err == EACCES))
    hint = "scanning needs root or CAP_NET_ADMIN";
  if (cause_set(ctx->why, nullptr, err, "%s on %s", request, ctx->ifname) && hint != nullptr)
    cause_append(ctx->why, " (%s)", hint);
  return -1;
}
