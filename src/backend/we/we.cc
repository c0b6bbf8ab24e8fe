// SPDX-License-Identifier: MIT
// Instance life cycle, registration and the link snapshot.
#include "backend/we/we.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "backend/we/wext.h"
#include "diag/diag.h"

backend_ctx *we_create() {
  auto *we = static_cast<we_ctx *>(calloc(1, sizeof(we_ctx)));
  if (we == nullptr) return nullptr;
  we->fd = -1;
  return &we->base;
}

int we_ioctl(backend_ctx *ctx, unsigned long request, iwreq *wrq) {
  memcpy(wrq->ifr_name, ctx->ifname, strnlen(ctx->ifname, IFNAMSIZ - 1));
  return ioctl(we_of(ctx)->fd, request, wrq);
}

int we_read_range(backend_ctx *ctx, iw_range *range, const char *lacking) {
  memset(range, 0, sizeof *range);
  if (iw_get_range_info(we_of(ctx)->fd, ctx->ifname, range) < 0)
    return request_failed(ctx, errno, "SIOCGIWRANGE");
  if (range->we_version_compiled < kLowestWeVersion) {
    cause_set(ctx->why, nullptr, 0, "%s: Wireless Extensions version %u %s (%d or later needed)",
              ctx->ifname, range->we_version_compiled, lacking, kLowestWeVersion);
    return -1;
  }
  return 0;
}

int we_lacks_extensions(backend_ctx *ctx, int err) {
  if (err != ENOTTY && err != EOPNOTSUPP) return -1;
  // The finer cause replaces that of the request that failed.
  *ctx->why = {};
  ifreq ifr;
  interface_request(ctx, &ifr);
  if (ioctl(we_of(ctx)->fd, SIOCGIFFLAGS, &ifr) != 0) {
    cause_set(ctx->why, nullptr, errno, "%s", ctx->ifname);
    return -1;
  }
  // The caller names what else may serve it.
  cause_set(ctx->why, "no-wext", 0, "no Wireless Extensions on %s", ctx->ifname);
  return 0;
}

namespace {

int open_socket(backend_ctx *ctx) {
  we_ctx *we = we_of(ctx);
  we->fd = iw_sockets_open();
  if (we->fd >= 0) return 0;
  // The first family's errno says why, such as a descriptor limit; libiw's
  // is that of an unsupported family.
  int err = errno;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) close(fd);
  if (fd < 0) err = errno;
  cause_set(ctx->why, nullptr, err, "socket");
  return -1;
}

// The name request fails on an interface without Wireless Extensions.
int probe(backend_ctx *ctx) {
  iwreq name{};
  if (we_ioctl(ctx, SIOCGIWNAME, &name) == 0) return 1;
  const int err = errno;
  if (we_lacks_extensions(ctx, err) == 0) return 0;
  cause_set(ctx->why, nullptr, err, "%s", ctx->ifname);
  return -1;
}

const backend_primitives kPrimitives = {
    .freq_room = IW_MAX_FREQUENCIES,
    .low_priority = false,
    .open = open_socket,
    .close =
        [](backend_ctx *ctx) {
          close(we_of(ctx)->fd);
          we_of(ctx)->fd = -1;
        },
    .probe = probe,
    .interface = [](backend_ctx *ctx, unsigned long request,
                    ifreq *ifr) { return ioctl(we_of(ctx)->fd, request, ifr); },
    .link =
        [](backend_ctx *ctx, link_record *link) {
          we_link_snapshot(ctx, link);
          return 0;
        },
    .prepare = [](backend_ctx *) { return 0; },
    .frequencies = we_frequencies,
    .pass = we_pass,
    .pause = [](backend_ctx *, int ms) { poll(nullptr, 0, ms); },
    .association = we_association,
    .target = we_target,
    .figures = we_figures,
};

}  // namespace

const backend_ops we_ops = backend_ops_of<kPrimitives>(we_create, we_destroy);

namespace {

// Registered before the entry function runs; the result is of no use there.
[[maybe_unused]] const int we_registered = backend_register("WE", &we_ops);

}  // namespace

void we_destroy(backend_ctx *ctx) {
  we_ctx *we = we_of(ctx);
  if (we->fd >= 0) close(we->fd);
  free(we);
}

bool we_placeholder(const sockaddr &addr, unsigned char *value) {
  for (unsigned char v : {0x00, 0xff, 0x44}) {
    int same = 0;
    while (same < 6 && static_cast<unsigned char>(addr.sa_data[same]) == v) same++;
    if (same == 6) {
      *value = v;
      return true;
    }
  }
  return false;
}

void we_link_snapshot(backend_ctx *ctx, link_record *link) {
  we_ctx *we = we_of(ctx);
  wireless_config config;
  memset(&config, 0, sizeof config);
  if (iw_get_basic_config(we->fd, ctx->ifname, &config) < 0) return;

  iwreq wrq{};
  if (we_ioctl(ctx, SIOCGIWAP, &wrq) < 0) return;
  unsigned char value;
  link->has_addr = !we_placeholder(wrq.u.ap_addr, &value);
  memcpy(link->addr, wrq.u.ap_addr.sa_data, sizeof link->addr);

  wrq = {};
  if (we_ioctl(ctx, SIOCGIWRATE, &wrq) < 0) return;
  link->has_rate = true;
  link->rate_bps = static_cast<uint32_t>(wrq.u.bitrate.value);
}

namespace {

signal_record quality_of(uint8_t qual, uint8_t max) {
  return {.has_quality = true, .quality = qual, .quality_max = max};
}

// A level byte in dBm: two's complement.
int16_t dbm_of(uint8_t v) { return static_cast<int16_t>(v < 128 ? v : v - 256); }

}  // namespace

signal_record we_signal(const iw_quality &q, const iw_range *range) {
  // Without a range, or with a level of 0 that is no figure: the quality alone.
  if (range == nullptr || (q.level == 0 && (q.updated & (IW_QUAL_DBM | IW_QUAL_RCPI)) == 0))
    return quality_of(q.qual, 0);
  const uint8_t max = range->max_qual.qual;
  if (q.updated & IW_QUAL_DBM) {
    signal_record s = quality_of(q.qual, max);
    s.has_level = true;
    s.level_dbm = dbm_of(q.level);
    return s;
  }
  if (q.updated & IW_QUAL_RCPI) return {};
  const bool within = q.qual <= max;
  if (within && max == 100) return quality_of(q.qual, max);
  // A level or noise within its maximum: relative figures, the quality decides.
  if (q.level <= range->max_qual.level || q.noise <= range->max_qual.noise) {
    if (within) return quality_of(q.qual, max);
    // Above its maximum, the quality is read as a signed byte: negative, none.
    return q.qual < 128 ? quality_of(q.qual, 0) : signal_record{};
  }
  return {.has_level = true,
          .level_dbm = dbm_of(q.level),
          .has_noise = true,
          .noise_dbm = dbm_of(q.noise)};
}
