// SPDX-License-Identifier: MIT
// The associated network's entry brought up to date (cached runs).
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "diag/diag.h"
#include "backend/flow.h"
#include "backend/we/we.h"
#include "backend/we/wext.h"
#include "netlist/netlist.h"

namespace {

bool all_bytes(const sockaddr &addr, unsigned char value) {
  for (int i = 0; i < 6; ++i)
    if (static_cast<unsigned char>(addr.sa_data[i]) != value) return false;
  return true;
}

bool placeholder(const sockaddr &addr) { return all_bytes(addr, 0) || all_bytes(addr, 0xff); }

// The access point's address as libiw's iw_sawap_ntop writes it (with the
// same text for the drivers' "no access point" address), made here: that
// goes through sprintf.
void ap_text(const sockaddr &addr, char text[18]) {
  if (all_bytes(addr, 0x44)) {
    memcpy(text, "None", 5);
    return;
  }
  unsigned char bytes[6];
  memcpy(bytes, addr.sa_data, sizeof bytes);
  list_bssid_text(bytes, text);
}

// Adds the associated cell by one scan for the present ESSID on the present
// frequency; -1 when the interface cannot name them.
int directed_scan(backend_ctx *ctx, void *) {
  we_ctx *we = we_of(ctx);
  char essid[IW_ESSID_MAX_SIZE + 1];
  memset(essid, 0, sizeof essid);
  iwreq wrq = we_request(ctx->ifname);
  wrq.u.essid.pointer = essid;
  wrq.u.essid.length = sizeof essid;
  wrq.u.essid.flags = 0;
  if (ioctl(we->fd, SIOCGIWESSID, &wrq) < 0) {
    diag_fail(errno, "SIOCGIWESSID on %s", ctx->ifname);
    return -1;
  }
  // The buffer holds at most 32 bytes and the terminator; a driver that
  // claims more (older ones count the terminator) is cut to 32.
  size_t essid_len = wrq.u.essid.length;
  if (essid_len > IW_ESSID_MAX_SIZE) essid_len = IW_ESSID_MAX_SIZE;
  essid[essid_len] = '\0';

  wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWFREQ, &wrq) < 0) {
    diag_fail(errno, "SIOCGIWFREQ on %s", ctx->ifname);
    return -1;
  }
  iw_freq freq = wrq.u.freq;
  we_scan_once(ctx, 1, essid, static_cast<int>(essid_len), &freq);
  return 0;
}

// The operation's state: the socket and the range read.
struct current_env {
  WeSocket sock;
  iw_range range;
};

// Refreshes rate, quality and channel of the associated entry.
void refresh(backend_ctx *ctx, void *env, network_entry *entry) {
  we_ctx *we = we_of(ctx);
  const iw_range &range = static_cast<current_env *>(env)->range;
  iwreq wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWRATE, &wrq) >= 0) {
    format_bitrate(static_cast<uint32_t>(wrq.u.bitrate.value), entry->bitrate, 11);
    entry->current = 1;
  }

  // The range is not offered to libiw (has_range 0, so it is not read):
  // libiw then reads the statistics the kernel publishes for every
  // interface.
  iw_statistics stats;
  memset(&stats, 0, sizeof stats);
  if (iw_get_stats(we->fd, ctx->ifname, &stats, &range, 0) >= 0) {
    // Statistics without a percentage leave the figure from the cache.
    const link_quality qual = we_quality(stats.qual);
    const quality_max max = we_quality_max(range);
    set_quality(entry, quality_percent(&qual, &max));
  }

  wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWFREQ, &wrq) < 0) return;
  iw_freq freq = wrq.u.freq;
  entry->channel = we_channel_of(iw_freq2float(&freq), &range);
}

int association(backend_ctx *ctx, void *env) {
  we_ctx *we = we_of(ctx);
  ifreq ifr = we_ifreq(ctx->ifname);
  if (ioctl(we->fd, SIOCGIFFLAGS, &ifr) != 0 || (ifr.ifr_flags & IFF_UP) == 0) return 0;

  iw_range &range = static_cast<current_env *>(env)->range;
  if (we_read_range(ctx, &range, "is too old") != 0) {
    // An interface without Wireless Extensions fails every request: the
    // name request tells that from a range the driver cannot give.
    const int err = errno;
    iwreq name = we_request(ctx->ifname);
    if ((err == ENOTTY || err == EOPNOTSUPP) && ioctl(we->fd, SIOCGIWNAME, &name) < 0)
      we_lacks_extensions(ctx, errno);
    return -1;
  }

  // Wireless Extensions answer for the interface: the protocol name is
  // the one request that iw_get_basic_config requires; the rest of the
  // configuration is not used here.
  iwreq wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWNAME, &wrq) < 0) {
    diag_fail(errno, "%s: no Wireless Extensions configuration", ctx->ifname);
    return -1;
  }

  wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWAP, &wrq) < 0) return 0;
  if (placeholder(wrq.u.ap_addr)) return 0;
  ap_text(wrq.u.ap_addr, we->ap_addr);
  return 1;
}

int open_socket(backend_ctx *, void *env) {
  if (static_cast<current_env *>(env)->sock.open()) return 0;
  diag_fail(errno, "socket");
  return -1;
}

const current_primitives kCurrent = {
    .open = open_socket,
    .association = association,
    .directed_scan = directed_scan,
    .refresh = refresh,
};

}  // namespace

int we_current(backend_ctx *ctx, int *added) {
  current_env env{WeSocket(we_of(ctx), false), {}};
  return backend_current(ctx, &env, kCurrent, we_of(ctx)->ap_addr, added);
}
