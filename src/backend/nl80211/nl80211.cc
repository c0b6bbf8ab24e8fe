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
#include <new>
#include <cstring>

#include "backend/ieee80211/ieee80211.h"
#include "backend/flow.h"
#include "backend/nl80211/io.h"
#include "backend/nl80211/messages.h"

namespace {

nl80211_ctx *self(backend_ctx *ctx) { return reinterpret_cast<nl80211_ctx *>(ctx); }

// A request of cmd about the interface; buf as for nl_request_start.
nlmsghdr *interface_command(nl_session *s, void *buf, uint8_t cmd, uint16_t flags,
                            uint32_t ifindex) {
  nlmsghdr *req = nl_request_start(s, buf, cmd, flags);
  mnl_attr_put_u32(req, NL80211_ATTR_IFINDEX, ifindex);
  return req;
}

int interface_reply(const nlmsghdr *nlh, void *data) {
  return nl_parse_interface(nlh, static_cast<nl_interface *>(data));
}

// Reads the interface's type; -1 when it is no nl80211 interface.
int query_interface(nl_session *s, nl80211_ctx *ctx) {
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = interface_command(s, buf, NL80211_CMD_GET_INTERFACE, 0, ctx->ifindex);
  nl_interface iface{0, NL80211_IFTYPE_UNSPECIFIED};
  if (nl_request_run(s, req, interface_reply, &iface) != 0) return -1;
  if (iface.ifindex != ctx->ifindex) return -1;
  ctx->iftype = iface.iftype;
  return 0;
}

int association_bss(const nlmsghdr *nlh, void *data) {
  return nl_take_association(nlh, static_cast<nl_association *>(data));
}

// A dump of the interface's BSSs, or of its wiphy (split: its bands come
// in several messages); 0, -1 with errno, or kNlDumpInterrupted.
int dump(nl_session *s, const nl80211_ctx *ctx, uint8_t cmd, nl_message_cb cb, void *data,
         void (*reset)(void *data)) {
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = interface_command(s, buf, cmd, NLM_F_DUMP, ctx->ifindex);
  if (cmd == NL80211_CMD_GET_WIPHY) mnl_attr_put(req, NL80211_ATTR_SPLIT_WIPHY_DUMP, 0, nullptr);
  return nl_dump_run(s, req, cb, data, reset);
}

int dump_association(nl_session *s, const nl80211_ctx *ctx, nl_association *a) {
  return dump(s, ctx, NL80211_CMD_GET_SCAN, association_bss, a,
              [](void *data) { memset(data, 0, sizeof(nl_association)); });
}

// Records why a dump failed.
void dump_failed(int result, const nl80211_ctx *ctx, const char *cmd = "NL80211_CMD_GET_SCAN") {
  if (result == kNlDumpInterrupted)
    cause_set(ctx->base.why, nullptr, 0, "%s on %s: interrupted %d times", cmd, ctx->base.ifname,
              kDumpRedos + 1);
  else
    request_failed(&ctx->base, errno, cmd);
}

int station_reply(const nlmsghdr *nlh, void *data) {
  return nl_parse_station(nlh, static_cast<nl_station *>(data));
}

// The station information of the peer bssid; 0 or -1.
int query_station(nl_session *s, const nl80211_ctx *ctx, const uint8_t (&bssid)[6],
                  nl_station *st) {
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = interface_command(s, buf, NL80211_CMD_GET_STATION, 0, ctx->ifindex);
  mnl_attr_put(req, NL80211_ATTR_MAC, sizeof bssid, bssid);
  *st = nl_station{};
  return nl_request_run(s, req, station_reply, st);
}

struct dump_state {
  cell_batch *batch;
  uint32_t count;  // BSS messages of the last try
};

int scan_bss(const nlmsghdr *nlh, void *data) {
  auto *d = static_cast<dump_state *>(data);
  nl_bss bss;
  if (nl_parse_bss(nlh, &bss) != 0) return -1;
  d->count++;
  return nl_bss_cell(bss, d->batch);
}

int trigger(nl_session *s, nl80211_ctx *ctx, const nl_association *target,
            const scan_request *asked) {
  alignas(nlmsghdr) unsigned char buf[kTriggerSize];
  nlmsghdr *req = nl_request_start(s, buf, NL80211_CMD_TRIGGER_SCAN, 0);
  const nl_scan_request scan{ctx->ifindex, ctx->iftype, target, asked};
  nl_put_scan_request(req, scan);
  if (nl_request_run(
          s, req, [](const nlmsghdr *, void *) { return -1; }, nullptr) == 0)
    return 0;
  return trigger_refused(&ctx->base, errno, "NL80211_CMD_TRIGGER_SCAN", nullptr);
}

// One pass as asked: trigger, wait for its end, dump the BSSs into the
// batch (the dump alone for what the kernel holds). Plain, or directed at
// the association's SSID on its frequency.
int scan_once(nl_session *s, nl80211_ctx *ctx, const nl_association *target,
              const scan_request *asked, cell_batch *batch) {
  if (asked == nullptr || !asked->last) {
    nl_drain_events(s);
    if (trigger(s, ctx, target, asked) != 0) return kPassFailed;
    // An aborted scan, and one whose end may have been lost with other
    // events, leave the kernel's known networks to be read at once, as
    // Wireless Extensions do.
    const nl_scan_wait end = nl_wait_scan(s, ctx->ifindex, kScanBudgetUs);
    if (end == kScanTimedOut) return kPassTimedOut;
    if (end == kScanFailed) return request_failed(&ctx->base, errno, "nl80211 scan events");
  }

  dump_state d{batch, 0};
  batch->fetches++;
  // Cells of an interrupted try stay: each came whole, and the merge takes
  // from a redo only what it missed.
  const int dumped = dump(s, ctx, NL80211_CMD_GET_SCAN, scan_bss, &d,
                          [](void *data) { static_cast<dump_state *>(data)->count = 0; });
  if (dumped != 0) {
    dump_failed(dumped, ctx);
    return kPassFailed;
  }
  batch->reported = d.count;
  return kPassDone;
}

// Opens the session for ctx's interface: 1 when it is an nl80211 one, 0
// when nl80211 cannot serve it (no such family, no generic netlink at all as
// under qemu-user, or an interface of another kind), -1 on another failure.
int open_session(nl_session *s, nl80211_ctx *ctx) {
  if (nl_session_open(s) != 0) {
    const int err = errno;
    if (err == ENOENT)
      cause_set(ctx->base.why, "no-nl80211", 0, "nl80211 not available (no cfg80211)");
    else
      cause_set(ctx->base.why, err == EPROTONOSUPPORT ? "no-nl80211" : nullptr, err, "nl80211");
    return err == ENOENT || err == EPROTONOSUPPORT ? 0 : -1;
  }
  if (query_interface(s, ctx) != 0) {
    cause_set(ctx->base.why, "no-nl80211", 0, "%s: not an nl80211 interface", ctx->base.ifname);
    return 0;
  }
  return 1;
}

}  // namespace

// An operation's sockets, and what the cached run learns of the association.
struct nl_op {
  explicit nl_op(const nl_transport *transport)
      : io(transport), session(transport), inet(transport->inet_socket()) {}
  nl_op(const nl_op &) = delete;
  nl_op &operator=(const nl_op &) = delete;
  ~nl_op() {
    if (inet >= 0) io->close(inet);
  }
  const nl_transport *io;
  nl_session session;
  int inet;  // the datagram socket of the interface requests, or -1
  nl_association a{};
};

namespace {

nl_op *op_of(backend_ctx *ctx) { return self(ctx)->op; }

// An interface request on the datagram socket; 0 or -1.
int interface(backend_ctx *ctx, unsigned long request, ifreq *ifr) {
  nl_op *op = op_of(ctx);
  return op->inet >= 0 && op->io->ioctl(op->inet, request, ifr) == 0 ? 0 : -1;
}

// The interface index, or 0 when there is no such interface.
uint32_t interface_index(backend_ctx *ctx) {
  ifreq ifr;
  interface_request(ctx, &ifr);
  if (interface(ctx, SIOCGIFINDEX, &ifr) != 0 || ifr.ifr_ifindex <= 0) return 0;
  return static_cast<uint32_t>(ifr.ifr_ifindex);
}

int open_op(backend_ctx *base) {
  nl80211_ctx *ctx = self(base);
  // malloc rather than new: the program links no C++ allocator.
  void *block = malloc(sizeof(nl_op));
  if (block == nullptr) {
    cause_set(base->why, nullptr, ENOMEM, "nl80211");
    return -1;
  }
  ctx->op = ::new (block) nl_op(ctx->io);
  ctx->ifindex = 0;  // read afresh by each operation
  return 0;
}

void close_op(backend_ctx *base) {
  self(base)->op->~nl_op();
  free(self(base)->op);
  self(base)->op = nullptr;
}

// An nl80211 interface, found before anything changes it.
int probe(backend_ctx *base) {
  nl80211_ctx *ctx = self(base);
  ctx->ifindex = interface_index(base);
  if (ctx->ifindex == 0) {
    cause_set(base->why, nullptr, errno, "%s", base->ifname);
    return -1;
  }
  return open_session(&ctx->op->session, ctx);
}

// The association as the scan list marks it, into the operation's record
// (and its address into link when there is one); what the dump returned.
int read_association(nl80211_ctx *ctx, link_record *link) {
  nl_op *op = ctx->op;
  const int dumped = dump_association(&op->session, ctx, &op->a);
  if (dumped == 0 && op->a.found) {
    link->has_addr = true;
    memcpy(link->addr, op->a.bssid, sizeof link->addr);
  }
  return dumped;
}

int association(backend_ctx *base, link_record *link) {
  nl80211_ctx *ctx = self(base);
  nl_op *op = ctx->op;
  // An interface gone since its flags were read is not associated.
  ctx->ifindex = interface_index(base);
  if (ctx->ifindex == 0) return 0;
  const int serves = open_session(&op->session, ctx);
  if (serves != 1) return serves == 0 ? kUnserved : -1;
  const int dumped = read_association(ctx, link);
  if (dumped != 0) {
    dump_failed(dumped, ctx);
    return -1;
  }
  return link->has_addr ? 1 : 0;
}

// Joins the scan events before a pass.
int prepare(backend_ctx *ctx) {
  if (nl_session_listen(&op_of(ctx)->session) == 0) return 0;
  cause_set(ctx->why, nullptr, errno, "nl80211 scan events");
  return -1;
}

int target(backend_ctx *base) {
  nl_op *op = op_of(base);
  if (op->a.ssid_ok && op->a.frequency != 0) return prepare(base);
  cause_set(base->why, nullptr, 0, "%s: the association's SSID or frequency is unknown",
            base->ifname);
  return -1;
}

void figures(backend_ctx *base, link_record *f) {
  nl80211_ctx *ctx = self(base);
  // Only a station has the statistics that Wireless Extensions report.
  nl_station st;
  bool station = ctx->iftype == NL80211_IFTYPE_STATION &&
                 query_station(&ctx->op->session, ctx, ctx->op->a.bssid, &st) == 0;
  nl_link_record(ctx->op->a, station ? &st : nullptr, f);
}

// What the Wireless Extensions backend's link snapshot reads. Like it,
// the snapshot ends silently where a query fails; only a dump that was
// interrupted every time fails the scan (-1), as the association would be
// guessed.
int link_snapshot(backend_ctx *base, link_record *link) {
  const int dumped = read_association(self(base), link);
  if (dumped == kNlDumpInterrupted) {
    dump_failed(dumped, self(base));
    return -1;
  }
  if (link->has_addr) figures(base, link);
  return 0;
}

// The wiphy's frequencies, from its split dump (one interface's alone).
int frequencies(backend_ctx *base, uint32_t *mhz, int room) {
  nl80211_ctx *ctx = self(base);
  nl_freqs f{};
  f.mhz = mhz;  // written by the walk
  f.room = room;
  const int dumped = dump(&ctx->op->session, ctx, NL80211_CMD_GET_WIPHY, nl_parse_wiphy_freqs, &f,
                          [](void *data) { static_cast<nl_freqs *>(data)->count = 0; });
  if (dumped == 0) return f.count;
  dump_failed(dumped, ctx, "NL80211_CMD_GET_WIPHY");
  return -1;
}

const backend_primitives kPrimitives = {
    .freq_room = kScanFreqRoom,
    .low_priority = true,
    .open = open_op,
    .close = close_op,
    .probe = probe,
    .interface = interface,
    .link = link_snapshot,
    .prepare = prepare,
    .frequencies = frequencies,
    .pass =
        [](backend_ctx *ctx, const scan_request *req, cell_batch *batch) {
          nl_op *op = op_of(ctx);
          return scan_once(&op->session, self(ctx), req == nullptr ? &op->a : nullptr, req, batch);
        },
    .pause = [](backend_ctx *ctx, int ms) { self(ctx)->io->pause(ms); },
    .association = association,
    .target = target,
    .figures = figures,
};

}  // namespace

backend_ctx *nl80211_create() {
  auto *ctx = static_cast<nl80211_ctx *>(calloc(1, sizeof(nl80211_ctx)));
  if (ctx == nullptr) return nullptr;
  ctx->iftype = NL80211_IFTYPE_UNSPECIFIED;
  ctx->io = &kNlSystem;
  return &ctx->base;
}

void nl80211_destroy(backend_ctx *ctx) { free(self(ctx)); }

const backend_ops nl80211_ops = backend_ops_of<kPrimitives>(nl80211_create, nl80211_destroy);

namespace {

[[maybe_unused]] const int nl80211_registered = backend_register("NL80211", &nl80211_ops);

}  // namespace
