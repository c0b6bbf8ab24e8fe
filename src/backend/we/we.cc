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
  auto *ctx = static_cast<backend_ctx *>(calloc(1, sizeof(backend_ctx)));
  if (ctx == nullptr) return nullptr;
  ctx->fd = -1;
  ctx->ap_addr[0] = '\0';
  ctx->ap_rate[0] = '\0';
  return ctx;
}

void we_destroy(backend_ctx *ctx) {
  if (ctx->fd >= 0) close(ctx->fd);
  free(ctx);
}

void we_link_snapshot(backend_ctx *ctx) {
  wireless_config config;
  memset(&config, 0, sizeof config);
  if (iw_get_basic_config(ctx->fd, ctx->ifname, &config) < 0) return;

  iwreq wrq = we_request(ctx->ifname);
  if (ioctl(ctx->fd, SIOCGIWAP, &wrq) < 0) return;
  iw_sawap_ntop(&wrq.u.ap_addr, ctx->ap_addr);

  wrq = we_request(ctx->ifname);
  if (ioctl(ctx->fd, SIOCGIWRATE, &wrq) < 0) return;
  format_bitrate(static_cast<uint32_t>(wrq.u.bitrate.value), ctx->ap_rate, sizeof ctx->ap_rate);
}
