// SPDX-License-Identifier: MIT
// Instance life cycle, registration, and the scan and current operations.
#include "diag/diag.h"
#include "backend/nl80211/nl80211.h"

#include <errno.h>
#include <linux/nl80211.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "backend/common.h"
#include "backend/nl80211/io.h"
#include "backend/nl80211/messages.h"
#include "netlist/netlist.h"

const backend_ops nl80211_ops = {
    .create = nl80211_create,
    .destroy = nl80211_destroy,
    .scan = nl80211_scan,
    .current = nl80211_current,
};

namespace {

[[maybe_unused]] const int nl80211_registered = backend_register("NL80211", &nl80211_ops);

constexpr int kPasses = 5;
constexpr int kPauseMs = 2000;
// The longest that the Wireless Extensions backend waits for one scan's
// results: 250 ms, then 147 polls 100 ms apart.
constexpr long kScanBudgetUs = 250000 + 147 * 100000;
constexpr size_t kSsidMax = 32;

nl80211_ctx *self(backend_ctx *ctx) { return reinterpret_cast<nl80211_ctx *>(ctx); }

// A datagram socket for the interface flags, closed with its owner.
class FlagSocket {
 public:
  explicit FlagSocket(const nl_transport *io) : io_(io), fd_(io->inet_socket()) {}
  FlagSocket(const FlagSocket &) = delete;
  FlagSocket &operator=(const FlagSocket &) = delete;
  ~FlagSocket() {
    if (fd_ >= 0) io_->close(fd_);
  }
  // The interface index, or 0 when there is no such interface.
  uint32_t index(const char *ifname) const {
    // A longer name would be cut to one that may belong to another interface.
    if (strnlen(ifname, IFNAMSIZ) >= IFNAMSIZ) return 0;
    ifreq ifr = request(ifname);
    if (fd_ < 0 || io_->ioctl(fd_, SIOCGIFINDEX, &ifr) != 0 || ifr.ifr_ifindex <= 0) return 0;
    return static_cast<uint32_t>(ifr.ifr_ifindex);
  }
  // The interface flags, or -1.
  int get(const char *ifname, short *flags) const {
    ifreq ifr = request(ifname);
    if (fd_ < 0 || io_->ioctl(fd_, SIOCGIFFLAGS, &ifr) != 0) return -1;
    *flags = ifr.ifr_flags;
    return 0;
  }
  int set(const char *ifname, short flags) const {
    ifreq ifr = request(ifname);
    ifr.ifr_flags = flags;
    return fd_ >= 0 && io_->ioctl(fd_, SIOCSIFFLAGS, &ifr) == 0 ? 0 : -1;
  }

 private:
  static ifreq request(const char *ifname) {
    ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    return ifr;
  }
  const nl_transport *io_;
  int fd_;
};

int interface_reply(const nlmsghdr *nlh, void *data) {
  return nl_parse_interface(nlh, static_cast<nl_interface *>(data));
}

// Reads the interface's type; -1 when it is no nl80211 interface.
int query_interface(nl_session *s, nl80211_ctx *ctx) {
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = nl_request_start(s, buf, NL80211_CMD_GET_INTERFACE, 0);
  mnl_attr_put_u32(req, NL80211_ATTR_IFINDEX, ctx->ifindex);
  nl_interface iface{0, NL80211_IFTYPE_UNSPECIFIED};
  if (nl_request_run(s, req, interface_reply, &iface) != 0) return -1;
  if (iface.ifindex != ctx->ifindex) return -1;
  ctx->iftype = iface.iftype;
  return 0;
}

int association_bss(const nlmsghdr *nlh, void *data) {
  return nl_take_association(nlh, static_cast<nl_association *>(data));
}

// 0, -1 with errno, or kNlDumpInterrupted.
int dump_association(nl_session *s, const nl80211_ctx *ctx, nl_association *a) {
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = nl_request_start(s, buf, NL80211_CMD_GET_SCAN, NLM_F_DUMP);
  mnl_attr_put_u32(req, NL80211_ATTR_IFINDEX, ctx->ifindex);
  return nl_dump_run(s, req, association_bss, a,
                     [](void *data) { memset(data, 0, sizeof(nl_association)); });
}

// Records why a scan dump failed.
void dump_failed(int result, const nl80211_ctx *ctx) {
  if (result == kNlDumpInterrupted)
    diag_fail(0,
              "NL80211_CMD_GET_SCAN on %s: interrupted %d times (the kernel's list kept changing)",
              ctx->base.ifname, kDumpRedos + 1);
  else
    diag_fail(errno, "NL80211_CMD_GET_SCAN on %s", ctx->base.ifname);
}

int station_reply(const nlmsghdr *nlh, void *data) {
  return nl_parse_station(nlh, static_cast<nl_station *>(data));
}

// The station information of the peer bssid; 0 or -1.
int query_station(nl_session *s, const nl80211_ctx *ctx, const uint8_t (&bssid)[6],
                  nl_station *st) {
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = nl_request_start(s, buf, NL80211_CMD_GET_STATION, 0);
  mnl_attr_put_u32(req, NL80211_ATTR_IFINDEX, ctx->ifindex);
  mnl_attr_put(req, NL80211_ATTR_MAC, sizeof bssid, bssid);
  *st = nl_station{};
  return nl_request_run(s, req, station_reply, st);
}

// What the Wireless Extensions backend's link snapshot records. Like it,
// the snapshot ends silently where a query fails; only a dump that was
// interrupted every time fails the scan (-1), as the association would be
// guessed.
int link_snapshot(nl_session *s, nl80211_ctx *ctx) {
  nl_association a;
  const int dumped = dump_association(s, ctx, &a);
  if (dumped == kNlDumpInterrupted) {
    dump_failed(dumped, ctx);
    return -1;
  }
  if (dumped != 0 || !a.found) return 0;
  nl_format_addr(a.bssid, ctx->ap_addr);
  nl_station st;
  if (ctx->iftype != NL80211_IFTYPE_STATION || query_station(s, ctx, a.bssid, &st) != 0) return 0;
  if (st.has_tx_rate) format_bitrate(nl_tx_bps(st), ctx->ap_rate, sizeof ctx->ap_rate);
  return 0;
}

struct dump_state {
  nl_cell_rules rules;
  uint32_t count;  // BSS messages of the last try
};

int scan_bss(const nlmsghdr *nlh, void *data) {
  auto *d = static_cast<dump_state *>(data);
  nl_bss bss;
  if (nl_parse_bss(nlh, &bss) != 0) return -1;
  d->count++;
  return nl_add_bss(bss, d->rules);
}

int trigger(nl_session *s, const nl80211_ctx *ctx, const uint8_t *ssid, uint32_t ssid_len,
            uint32_t frequency, bool directed) {
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = nl_request_start(s, buf, NL80211_CMD_TRIGGER_SCAN, 0);
  const nl_scan_request scan{ctx->ifindex, ctx->iftype, directed, ssid, ssid_len, frequency};
  nl_put_scan_request(req, scan);
  if (nl_request_run(
          s, req, [](const nlmsghdr *, void *) { return -1; }, nullptr) == 0)
    return 0;
  // A scan already running (another program's) ends with results too.
  if (errno == EBUSY) {
    diag_count().joined++;
    return 0;
  }
  const int err = errno;
  diag_fail_hint(err, err == EPERM ? "scanning needs root or CAP_NET_ADMIN" : nullptr,
                 "NL80211_CMD_TRIGGER_SCAN on %s", ctx->base.ifname);
  return -1;
}

// One scan: trigger, wait for its end, dump and add the BSSs. Plain, or
// directed at one SSID on one frequency.
int scan_once(nl_session *s, nl80211_ctx *ctx, bool directed, const uint8_t *ssid,
              uint32_t ssid_len, uint32_t frequency) {
  if (directed && (ssid_len > kSsidMax || frequency == 0)) return -1;
  nl_drain_events(s);
  if (trigger(s, ctx, ssid, ssid_len, frequency, directed) != 0) return -1;
  // An aborted scan, and one whose end was lost with other events, leave
  // the kernel's known networks to be read, as Wireless Extensions do.
  const nl_scan_wait end = nl_wait_scan(s, ctx->ifindex, kScanBudgetUs);
  if (end == kScanTimedOut) {
    diag_fail(0, "scan on %s: no result within 15 s", ctx->base.ifname);
    return -1;
  }
  if (end == kScanFailed) {
    diag_fail(errno, "nl80211 scan events on %s", ctx->base.ifname);
    return -1;
  }

  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = nl_request_start(s, buf, NL80211_CMD_GET_SCAN, NLM_F_DUMP);
  mnl_attr_put_u32(req, NL80211_ATTR_IFINDEX, ctx->ifindex);
  dump_state d{{ctx->ap_addr, ctx->ap_rate, directed}, 0};
  diag_count().fetches++;
  // Entries of an interrupted try stay: each came whole, and a redo adds
  // only what it missed.
  const int dumped = nl_dump_run(s, req, scan_bss, &d,
                                 [](void *data) { static_cast<dump_state *>(data)->count = 0; });
  if (dumped != 0) {
    dump_failed(dumped, ctx);
    return -1;
  }
  // As with Wireless Extensions, a scan that lists nothing fails.
  if (d.count == 0) {
    diag_fail(0, "scan on %s found no network", ctx->base.ifname);
    return -1;
  }
  nl_apply_wep_rule();
  diag_count().passes++;
  return 0;
}

// Opens the session for ctx's interface and checks that it is an nl80211
// interface; -1 otherwise.
int open_session(nl_session *s, nl80211_ctx *ctx) {
  if (nl_session_open(s) != 0) {
    diag_fail(errno, "nl80211");
    return -1;
  }
  if (query_interface(s, ctx) != 0) {
    diag_fail(0, "%s: not an nl80211 interface", ctx->base.ifname);
    return -1;
  }
  return 0;
}

int query_current(nl80211_ctx *ctx, int *added) {
  FlagSocket flag_socket(ctx->io);
  ctx->ifindex = flag_socket.index(ctx->base.ifname);
  short flags = 0;
  // A missing or down interface leaves the cache as it is.
  if (ctx->ifindex == 0 || flag_socket.get(ctx->base.ifname, &flags) != 0 || (flags & IFF_UP) == 0)
    return 0;

  nl_session s(ctx->io);
  if (open_session(&s, ctx) != 0) return -1;
  nl_association a;
  const int dumped = dump_association(&s, ctx, &a);
  if (dumped != 0) {
    dump_failed(dumped, ctx);
    return -1;
  }
  if (!a.found) return 0;
  nl_format_addr(a.bssid, ctx->ap_addr);

  network_entry *entry = find_entry(ctx->ap_addr);
  if (entry == nullptr) {
    if (!a.ssid_ok || a.frequency == 0) {
      diag_fail(0, "%s: the association's SSID or frequency is unknown", ctx->base.ifname);
      return -1;
    }
    if (nl_session_listen(&s) != 0) {
      diag_fail(errno, "nl80211 scan events");
      return -1;
    }
    // Its result does not matter: the list is searched again.
    scan_once(&s, ctx, true, a.ssid, a.ssid_len, a.frequency);
    diag_forget();
    entry = find_entry(ctx->ap_addr);
    if (entry == nullptr) return 0;
    *added = 1;
  }

  // Only a station has the statistics that Wireless Extensions report.
  nl_station st;
  bool station = ctx->iftype == NL80211_IFTYPE_STATION && query_station(&s, ctx, a.bssid, &st) == 0;
  nl_refresh_entry(entry, a, station ? &st : nullptr);
  return 0;
}

}  // namespace

backend_ctx *nl80211_create() {
  auto *ctx = static_cast<nl80211_ctx *>(calloc(1, sizeof(nl80211_ctx)));
  if (ctx == nullptr) return nullptr;
  ctx->iftype = NL80211_IFTYPE_UNSPECIFIED;
  ctx->io = &kNlSystem;
  return &ctx->base;
}

void nl80211_destroy(backend_ctx *ctx) { free(self(ctx)); }

int nl80211_scan(backend_ctx *base) {
  nl80211_ctx *ctx = self(base);
  FlagSocket flag_socket(ctx->io);
  ctx->ifindex = flag_socket.index(base->ifname);
  if (ctx->ifindex == 0) {
    diag_fail(errno, "%s", base->ifname);
    return -1;
  }
  nl_session s(ctx->io);
  // The interface must be an nl80211 one before anything changes it.
  if (open_session(&s, ctx) != 0) return -1;

  short flags = 0;
  if (flag_socket.get(base->ifname, &flags) != 0) {
    diag_fail(errno, "SIOCGIFFLAGS on %s", base->ifname);
    return -1;
  }
  if ((flags & IFF_UP) == 0 &&
      flag_socket.set(base->ifname, static_cast<short>(flags | IFF_UP)) != 0) {
    diag_fail_hint(errno, errno == EPERM ? "bringing it up needs root or CAP_NET_ADMIN" : nullptr,
                   "SIOCSIFFLAGS on %s", base->ifname);
    return -1;
  }

  if (link_snapshot(&s, ctx) != 0) return -1;
  if (nl_session_listen(&s) != 0) {
    diag_fail(errno, "nl80211 scan events");
    return -1;
  }
  for (int pass = 1; pass <= kPasses; pass++) {
    if (scan_once(&s, ctx, false, nullptr, 0, 0) != 0) return -1;
    // A signal may shorten the pause.
    if (pass < kPasses) ctx->io->pause(kPauseMs);
  }
  return 0;
}

int nl80211_current(backend_ctx *base, int *added) {
  int was_added = 0;
  int result = list_first() == nullptr ? 0 : query_current(self(base), &was_added);
  if (added != nullptr) *added = was_added;
  return result;
}
