// SPDX-License-Identifier: MIT
#include "cli/test_backend.h"

#include "diag/diag.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "diag/diag.h"

namespace {

test_script script;

int append_all(const std::vector<network_entry> &entries) {
  for (const network_entry &e : entries) {
    network_entry *n = list_append_new();
    if (n == nullptr) return -1;
    network_entry *next = n->next;
    *n = e;
    n->next = next;
  }
  return 0;
}

int count_entries() {
  int n = 0;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) ++n;
  return n;
}

backend_ctx *test_create() {
  ++script.creates;
  if (script.create_fails) return nullptr;
  return static_cast<backend_ctx *>(calloc(1, sizeof(backend_ctx)));
}

void test_destroy(backend_ctx *ctx) {
  ++script.destroys;
  script.ifname = ctx->ifname;
  free(ctx);
}

int test_scan(backend_ctx *ctx, const scan_request &req, cause *why) {
  ++script.scans;
  script.asked = req;
  script.ifname = ctx->ifname;
  // Refused before anything is listed, as the flow refuses.
  if (script.scan_result == kRefused) {
    cause_set(why, "bad-option", 0, "%s", script.refused_cause);
    return kRefused;
  }
  if (append_all(script.scan_entries) != 0) return -1;
  if (script.scan_cause != nullptr) cause_set(why, script.scan_code, 0, "%s", script.scan_cause);
  return script.scan_result;
}

int test_current(backend_ctx *ctx, int *added, cause * /*why*/) {
  ++script.currents;
  script.ifname = ctx->ifname;
  script.entries_at_current = count_entries();
  if (append_all(script.current_entries) != 0) return -1;
  if (script.refresh_live) {
    network_entry *e = list_find_bssid(script.live.bssid.c_str());
    if (e != nullptr) {
      e->current = 1;
      snprintf(e->bitrate, sizeof e->bitrate, "%s", script.live.bitrate.c_str());
      e->quality = script.live.quality;
      e->channel = script.live.channel;
    }
  }
  *added = script.added;
  return script.current_result;
}

const backend_ops test_ops = {
    .create = test_create,
    .destroy = test_destroy,
    .scan = test_scan,
    .current = test_current,
    .probe = [](backend_ctx *, cause *) { return 1; },
};

// Registered exactly as a product backend is: by a start-up initialiser.
[[maybe_unused]] const int test_registered = backend_register(kTestBackend, &test_ops);

}  // namespace

test_script &test_backend() { return script; }

const backend_ops *test_backend_ops() { return &test_ops; }

network_entry test_entry(const std::string &essid, const char *bssid, const char *mode,
                         const std::vector<const char *> &security, int32_t channel,
                         uint8_t quality) {
  network_entry e{};
  // One byte over the legal 32 is allowed: the writer's length check needs it.
  size_t n = essid.size() < 33 ? essid.size() : 33;
  memcpy(e.essid, essid.data(), n);
  e.essid_len = static_cast<uint32_t>(n);
  snprintf(e.bssid, sizeof e.bssid, "%s", bssid);
  snprintf(e.mode, sizeof e.mode, "%s", mode);
  for (const char *s : security) {
    if (e.security_count >= static_cast<int32_t>(std::size(e.security))) break;
    snprintf(e.security[e.security_count++], sizeof e.security[0], "%s", s);
  }
  e.channel = channel;
  e.quality = quality;
  return e;
}
