// SPDX-License-Identifier: MIT
// What a cached run reads of the associated network.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "backend/flow.h"
#include "backend/we/we.h"
#include "backend/we/wext.h"
#include "diag/diag.h"

// The present ESSID and frequency, for a directed scan; -1 when the
// interface cannot name them.
int we_target(backend_ctx *ctx) {
  we_ctx *we = we_of(ctx);
  char essid[IW_ESSID_MAX_SIZE + 1];
  memset(essid, 0, sizeof essid);
  iwreq wrq{};
  wrq.u.essid.pointer = essid;
  wrq.u.essid.length = sizeof essid;
  wrq.u.essid.flags = 0;
  if (we_ioctl(ctx, SIOCGIWESSID, &wrq) < 0) return request_failed(ctx, errno, "SIOCGIWESSID");
  // The buffer holds at most 32 bytes and the terminator; a driver that
  // claims more (older ones count the terminator) is cut to 32.
  we->essid_len = wrq.u.essid.length;
  if (we->essid_len > IW_ESSID_MAX_SIZE) we->essid_len = IW_ESSID_MAX_SIZE;
  memcpy(we->essid, essid, we->essid_len);

  wrq = {};
  if (we_ioctl(ctx, SIOCGIWFREQ, &wrq) < 0) return request_failed(ctx, errno, "SIOCGIWFREQ");
  we->freq = wrq.u.freq;
  return 0;
}

// Rate, quality and channel of the link.
void we_figures(backend_ctx *ctx, link_record *f) {
  we_ctx *we = we_of(ctx);
  const iw_range &range = we->range;
  iwreq wrq{};
  if (we_ioctl(ctx, SIOCGIWRATE, &wrq) >= 0) {
    f->has_rate = true;
    f->rate_bps = static_cast<uint32_t>(wrq.u.bitrate.value);
  }

  // The range is not offered to libiw (has_range 0, so it is not read):
  // libiw then reads the statistics the kernel publishes for every
  // interface.
  iw_statistics stats;
  memset(&stats, 0, sizeof stats);
  if (iw_get_stats(we->fd, ctx->ifname, &stats, &range, 0) >= 0) {
    // Statistics without a figure leave the one from the cache.
    f->signal = we_signal(stats.qual, &range);
  }
  // /proc/net/wireless drops the dBm flag; for the document's level the
  // driver's own statistics keep it, which libiw asks for given the range.
  if (ctx->survey && iw_get_stats(we->fd, ctx->ifname, &stats, &range, 1) >= 0 &&
      (stats.qual.updated & IW_QUAL_DBM) != 0)
    f->dbm = we_signal(stats.qual, &range);

  wrq = {};
  if (we_ioctl(ctx, SIOCGIWFREQ, &wrq) < 0) return;
  iw_freq freq = wrq.u.freq;
  f->has_channel = true;
  f->channel = we_channel_of(iw_freq2float(&freq), &range);
}

int we_association(backend_ctx *ctx, link_record *link) {
  we_ctx *we = we_of(ctx);
  iw_range &range = we->range;
  if (we_read_range(ctx, &range, "is too old") != 0) {
    // An interface without Wireless Extensions fails every request: the
    // name request tells that from a range the driver cannot give.
    const int err = ctx->why->err;
    iwreq name{};
    if ((err == ENOTTY || err == EOPNOTSUPP) && we_ioctl(ctx, SIOCGIWNAME, &name) < 0 &&
        we_lacks_extensions(ctx, errno) == 0)
      return kUnserved;
    return -1;
  }

  // Wireless Extensions answer for the interface: the protocol name is
  // the one request that iw_get_basic_config requires; the rest of the
  // configuration is not used here.
  iwreq wrq{};
  if (we_ioctl(ctx, SIOCGIWNAME, &wrq) < 0) {
    cause_set(ctx->why, nullptr, errno, "%s: no Wireless Extensions configuration", ctx->ifname);
    return -1;
  }

  wrq = {};
  if (we_ioctl(ctx, SIOCGIWAP, &wrq) < 0) return 0;
  // The drivers' "none" address (0x44) counts as associated but names no
  // cell; the others mean no association.
  unsigned char value = 0;
  if (we_placeholder(wrq.u.ap_addr, &value) && value != 0x44) return 0;
  link->has_addr = value != 0x44;
  memcpy(link->addr, wrq.u.ap_addr.sa_data, sizeof link->addr);
  return 1;
}
