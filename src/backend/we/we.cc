// Instance life cycle, registration and the link snapshot.
#include "backend/we/we.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "backend/we/wext.h"

const backend_ops we_ops = {
    .create = we_create,
    .destroy = we_destroy,
    .scan = we_scan,
    .current = we_current,
};

namespace {

// Registered before the entry function runs; the result is of no use there.
[[maybe_unused]] const int we_registered = backend_register("WE", &we_ops);

}  // namespace

backend_ctx *we_create() {
  // malloc, which a run calls anyway: calloc would be one more library
  // function for the loader to look up.
  auto *we = static_cast<we_ctx *>(malloc(sizeof(we_ctx)));
  if (we == nullptr) return nullptr;
  memset(we, 0, sizeof *we);
  we->fd = -1;
  we->ap_addr[0] = '\0';
  we->ap_rate[0] = '\0';
  return &we->base;
}

void we_destroy(backend_ctx *ctx) {
  we_ctx *we = we_of(ctx);
  if (we->fd >= 0) close(we->fd);
  free(we);
}

void we_link_snapshot(backend_ctx *ctx) {
  we_ctx *we = we_of(ctx);
  wireless_config config;
  memset(&config, 0, sizeof config);
  if (iw_get_basic_config(we->fd, ctx->ifname, &config) < 0) return;

  iwreq wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWAP, &wrq) < 0) return;
  iw_sawap_ntop(&wrq.u.ap_addr, we->ap_addr);

  wrq = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWRATE, &wrq) < 0) return;
  format_bitrate(static_cast<uint32_t>(wrq.u.bitrate.value), we->ap_rate, sizeof we->ap_rate);
}
