// SPDX-License-Identifier: MIT
// Named backends: tables of operations registered at start-up and opened by name.
#pragma once

#include <cstdint>

#include "diag/diag.h"

struct network_entry;
struct backend_ctx;

// The operations of a backend. Each operation that talks to the driver opens
// its own sockets and closes them before it returns, so an instance holds
// none between calls. Failures return -1 with the cause recorded in why,
// which the caller owns; nothing is printed.
struct backend_ops {
  // A new instance with no socket open, or null when out of memory.
  // backend_open then fills in ops and ifname.
  backend_ctx *(*create)();
  // Frees the instance.
  void (*destroy)(backend_ctx *ctx);
  // Refresh run. Brings the interface up if it is down, notes the association
  // and scans in five passes two seconds apart. Each pass appends an entry
  // for every network whose address the list does not hold yet (so the list,
  // empty before the first pass, gains each network once) and then gives
  // "WEP" to encrypted entries without another descriptor. 0 after the last
  // pass; -1 when a pass fails, the entries appended so far staying listed;
  // kUnserved.
  int (*scan)(backend_ctx *ctx, cause *why);
  // Cached run: the list holds the cache's entries. Refreshes the bit rate
  // (marking the entry current), quality and channel of the associated
  // network's entry. An empty list, an interface that is missing or down, or
  // no association: 0 with the list untouched. When the list lacks the
  // associated network, one directed scan adds it; *added (when added is not
  // null; always written) is then 1, so the caller rewrites the cache, and
  // 0 otherwise, also on failure. 0, or -1 when the interface or its
  // association cannot be read; kUnserved.
  int (*current)(backend_ctx *ctx, int *added, cause *why);
  // Whether this backend can serve the interface at all, asked before
  // anything is changed: 1 it can, 0 it cannot (the cause recorded: why
  // not; another backend may serve), -1 the question failed (the cause
  // recorded; the operations will fail alike).
  int (*probe)(backend_ctx *ctx, cause *why);
};

// What an operation returns, beside 0 and -1, when it failed because this
// backend cannot serve the interface at all (found before anything changed).
inline constexpr int kUnserved = -2;

// What every backend instance shares; backend_open fills it after create.
// Each backend's own state is a record whose first member is this one.
struct backend_ctx {
  const backend_ops *ops;
  const char *ifname;  // borrowed from the command line
  cause *why;          // where the running operation's sites record its cause
  bool all_suites;     // -s: the descriptors name every key-management suite
  diag_counts counts;  // what the run's scans did, for -v and -j
  bool survey;         // each new entry gets its site-survey record (-j)
  bool stale;          // current: the association could not be read
};

// 0, or -1 when the name is taken or no memory is left. Names are borrowed.
int backend_register(const char *name, const backend_ops *ops);
// A new instance of the named backend, or null. Null also, without a call of
// create, for an interface name that is empty or of IFNAMSIZ bytes or more
// (the cause recorded in why).
backend_ctx *backend_open(const char *name, const char *ifname, cause *why);

namespace backend_internal {

struct registry_node;

// An empty registry for the guard's lifetime, so that a test registers names
// of its own without meeting those of other tests or of start-up; what was
// registered meanwhile is freed and the registry restored. Not for product code.
class scoped_registry {
 public:
  scoped_registry();
  ~scoped_registry();
  scoped_registry(const scoped_registry &) = delete;
  scoped_registry &operator=(const scoped_registry &) = delete;

 private:
  registry_node *saved_;
};

}  // namespace backend_internal
