// SPDX-License-Identifier: MIT
#include "backend/backend.h"

#include <net/if.h>
#include <time.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "diag/diag.h"

struct backend_internal::registry_node {
  const char *name;
  const backend_ops *ops;
  registry_node *next;
};

namespace {

using backend_internal::registry_node;

// Constant-initialised, so registration from any start-up initialiser is safe.
registry_node *registry = nullptr;

}  // namespace

int backend_register(const char *name, const backend_ops *ops) {
  for (registry_node *n = registry; n != nullptr; n = n->next)
    if (strcmp(n->name, name) == 0) return -1;
  auto *node = static_cast<registry_node *>(malloc(sizeof(registry_node)));
  if (node == nullptr) return -1;
  *node = registry_node{.name = name, .ops = ops, .next = registry};
  registry = node;
  return 0;
}

backend_ctx *backend_open(const char *name, const char *ifname, cause *why) {
  // The kernel reads at most IFNAMSIZ - 1 bytes of a name and drops the rest,
  // so a longer name would act on another interface; an empty one names none.
  const bool empty = ifname == nullptr || ifname[0] == '\0';
  if (empty || strnlen(ifname, IFNAMSIZ) >= IFNAMSIZ) {
    cause_set(why, "bad-option", 0, "%s",
              empty ? "empty interface name" : "interface name too long");
    return nullptr;
  }
  for (registry_node *n = registry; n != nullptr; n = n->next) {
    if (strcmp(n->name, name) != 0) continue;
    backend_ctx *ctx = n->ops->create();
    if (ctx == nullptr) return nullptr;
    ctx->ifname = ifname;
    ctx->ops = n->ops;
    ctx->why = why;
    ctx->survey = ctx->stale = false;
    return ctx;
  }
  return nullptr;
}

backend_internal::scoped_registry::scoped_registry() : saved_(registry) { registry = nullptr; }

backend_internal::scoped_registry::~scoped_registry() {
  while (registry != nullptr) {
    registry_node *next = registry->next;
    free(registry);
    registry = next;
  }
  registry = saved_;
}
