// Named backends: tables of operations registered at start-up and opened by name.
#pragma once

#include <cstdint>

struct network_entry;
struct backend_ctx;

struct backend_ops {
  backend_ctx *(*create)();
  void (*destroy)(backend_ctx *ctx);
  int (*scan)(backend_ctx *ctx);
  int (*current)(backend_ctx *ctx, int *added);
};

// What every backend instance shares; backend_open fills it after create.
// Each backend's own state is a record whose first member is this one.
struct backend_ctx {
  const backend_ops *ops;
  const char *ifname;  // borrowed from the command line
};

// 0, or -1 when the name is taken or no memory is left. Names are borrowed.
int backend_register(const char *name, const backend_ops *ops);
// A new instance of the named backend, or null. Null also, without a call of
// create, for an interface name that is empty or of IFNAMSIZ bytes or more.
backend_ctx *backend_open(const char *name, const char *ifname);

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
