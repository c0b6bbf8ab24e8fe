// The associated network's entry brought up to date (cached runs).
#include <unistd.h>

#include <cstring>

#include "backend/we/we.h"
#include "backend/we/wext.h"
#include "netlist/netlist.h"

namespace {

network_entry *find_entry(const char *bssid) {
  for (network_entry *entry = list_first(); entry != nullptr; entry = list_next())
    if (strncmp(entry->bssid, bssid, sizeof entry->bssid) == 0) return entry;
  return nullptr;
}

bool placeholder(const sockaddr &addr) {
  static const unsigned char zeros[6] = {0, 0, 0, 0, 0, 0};
  static const unsigned char ones[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  return memcmp(addr.sa_data, zeros, 6) == 0 || memcmp(addr.sa_data, ones, 6) == 0;
}

// Adds the associated cell by one scan for the present ESSID on the present
// frequency; -1 when the interface cannot name them.
int directed_scan(backend_ctx *ctx) {
  we_ctx *we = we_of(ctx);
  char essid[IW_ESSID_MAX_SIZE + 1];
  memset(essid, 0, sizeof essid);
  iwreq wrq = we_request(ctx->ifname);
  wrq.u.essid.pointer = essid;
  wrq.u.essid.length = sizeof essid;
  wrq.u.essid.flags = 0;
  if (ioctl(we->fd, SIOCGIWESSID, &wrq) < 0) return -1;
  // The buffer holds at most 32 bytes and the terminator; a driver that
  // claims more (older ones count the terminator) is cut to 32.
  size_t essid_len = wrq.u.essid.length;
  if (essid_len > IW_ESSID_MAX_SIZE) essid_len = IW_ESSID_MAX_SIZE;
  essid[essid_len] = '\0';

  wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWFREQ, &wrq) < 0) return -1;
  iw_freq freq = wrq.u.freq;
  we_scan_once(ctx, 1, essid, static_cast<int>(essid_len), &freq);
  return 0;
}

// Refreshes rate, quality and channel of the associated entry.
void refresh(backend_ctx *ctx, network_entry *entry, const iw_range &range) {
  we_ctx *we = we_of(ctx);
  iwreq wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWRATE, &wrq) >= 0) {
    format_bitrate(static_cast<uint32_t>(wrq.u.bitrate.value), entry->bitrate, 11);
    entry->current = 1;
  }

  // No range for libiw here: it then reads the statistics the kernel
  // publishes for every interface.
  iw_statistics stats;
  iw_range no_range;
  memset(&stats, 0, sizeof stats);
  memset(&no_range, 0, sizeof no_range);
  if (iw_get_stats(we->fd, ctx->ifname, &stats, &no_range, 0) >= 0) {
    // Statistics without a percentage leave the figure from the cache.
    int percent = quality_percent(&stats.qual, &range);
    if (percent >= 0) entry->quality = static_cast<uint8_t>(percent > 100 ? 100 : percent);
  }

  wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWFREQ, &wrq) < 0) return;
  iw_freq freq = wrq.u.freq;
  entry->channel = we_channel_of(iw_freq2float(&freq), &range);
}

int query(backend_ctx *ctx, int *added) {
  we_ctx *we = we_of(ctx);
  ifreq ifr = we_ifreq(ctx->ifname);
  if (ioctl(we->fd, SIOCGIFFLAGS, &ifr) != 0 || (ifr.ifr_flags & IFF_UP) == 0) return 0;

  iw_range range;
  memset(&range, 0, sizeof range);
  if (iw_get_range_info(we->fd, ctx->ifname, &range) < 0) return -1;
  if (range.we_version_compiled < 14) return -1;

  wireless_config config;
  memset(&config, 0, sizeof config);
  if (iw_get_basic_config(we->fd, ctx->ifname, &config) < 0) return -1;

  iwreq wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWAP, &wrq) < 0) return 0;
  if (placeholder(wrq.u.ap_addr)) return 0;
  iw_sawap_ntop(&wrq.u.ap_addr, we->ap_addr);

  network_entry *entry = find_entry(we->ap_addr);
  if (entry == nullptr) {
    if (directed_scan(ctx) != 0) return -1;
    entry = find_entry(we->ap_addr);
    // Nothing was appended when the scan did not report the cell: the cached
    // list stands as it is and needs no rewrite.
    if (entry == nullptr) return 0;
    *added = 1;
  }
  refresh(ctx, entry, range);
  return 0;
}

}  // namespace

int we_current(backend_ctx *ctx, int *added) {
  we_ctx *we = we_of(ctx);
  int was_added = 0;
  if (list_first() == nullptr) {
    if (added != nullptr) *added = 0;
    return 0;
  }
  we->fd = iw_sockets_open();
  if (we->fd < 0) {
    if (added != nullptr) *added = 0;
    return -1;
  }
  int result = query(ctx, &was_added);
  close(we->fd);
  we->fd = -1;
  if (added != nullptr) *added = was_added;
  return result;
}
