// SPDX-License-Identifier: MIT
// The nl80211 backend, registered as "NL80211": the same operations and
// outcomes as the Wireless Extensions backend, over generic netlink.
#pragma once

#include <cstdint>

#include "backend/backend.h"

// Its operations (nl80211_ops.scan, .current, .probe) over the primitives.
extern const backend_ops nl80211_ops;

struct nl_transport;
struct nl_op;

// The instance: the generic part first, so that the registry's pointer is
// this record's.
struct nl80211_ctx {
  backend_ctx base;
  uint32_t ifindex;
  uint32_t iftype;         // NL80211_IFTYPE_* of the interface
  const nl_transport *io;  // the system's (kNlSystem), or a test's script
  nl_op *op;               // the running operation's sockets, or null
};

backend_ctx *nl80211_create();
void nl80211_destroy(backend_ctx *ctx);
