// SPDX-License-Identifier: MIT
#include "backend/backend.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <vector>

#include "backend/we/we.h"
#include "diag/diag.h"

namespace {

std::array<int, 3> creates;  // by kA, kB and kFail
template <int N>
backend_ctx *create() {
  ++creates[N];
  return N == 2 ? nullptr : static_cast<backend_ctx *>(calloc(1, sizeof(backend_ctx)));
}
void destroy(backend_ctx *ctx) { free(ctx); }
int scan(backend_ctx *, const scan_request &, cause *) { return 0; }
int current(backend_ctx *, int *, cause *) { return 0; }
constexpr backend_ops ops(backend_ctx *(*make)()) {
  return {.create = make, .destroy = destroy, .scan = scan, .current = current, .probe = nullptr};
}
const backend_ops kA = ops(create<0>), kB = ops(create<1>), kFail = ops(create<2>);

struct Registration {
  const char *name;
  const backend_ops *ops;
  int result;
};

// Each case starts from an empty registry and leaves the process's own as it was.
TEST(Registry, RegisterAndOpen) {
  const std::vector<Registration> a = {{"a", &kA, 0}};
  const std::vector<Registration> exact = {{"Exact", &kA, 0}};
  const std::vector<Registration> dup = {{"dup", &kA, 0}, {"dup", &kB, -1}};
  const std::vector<Registration> two = {{"one", &kA, 0}, {"two", &kB, 0}};
  const struct {
    const char *what;
    std::vector<Registration> registered;
    const char *name;
    const char *ifname;
    const backend_ops *opened;  // null: none
    std::array<int, 3> creates;
  } cases[] = {
      {"by its name", a, "a", "wlan7", &kA, {1, 0, 0}},
      {"a duplicate keeps the first", dup, "dup", "x", &kA, {1, 0, 0}},
      {"the first of two", two, "one", "x", &kA, {1, 0, 0}},
      {"the second of two", two, "two", "y", &kB, {0, 1, 0}},
      {"empty name, not registered", {}, "", "x", nullptr, {}},
      {"empty name, registered", {{"", &kB, 0}}, "", "x", &kB, {0, 1, 0}},
      {"failed create", {{"fail", &kFail, 0}}, "fail", "x", nullptr, {0, 0, 1}},
      // Names match exactly; nothing is created for a name that is not there.
      {"lower case", exact, "exact", "x", nullptr, {}},
      {"upper case", exact, "EXACT", "x", nullptr, {}},
      {"a prefix", exact, "Exac", "x", nullptr, {}},
      {"longer", exact, "Exactly", "x", nullptr, {}},
      {"trailing space", exact, "Exact ", "x", nullptr, {}},
      {"empty", exact, "", "x", nullptr, {}},
      // The kernel takes 15 bytes of a name at most and drops the rest: a
      // longer name would stand for another interface, and an empty one for none.
      {"empty interface name", a, "a", "", nullptr, {}},
      {"1 byte", a, "a", "w", &kA, {1, 0, 0}},
      {"15 bytes", a, "a", "abcdefghijklmno", &kA, {1, 0, 0}},
      {"16 bytes", a, "a", "abcdefghijklmnop", nullptr, {}},
      {"18 bytes", a, "a", "abcdefghijklmnoXYZ", nullptr, {}},
      {"no interface name", a, "a", nullptr, nullptr, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const backend_internal::scoped_registry registry;
    creates = {};
    for (const Registration &r : c.registered) EXPECT_EQ(backend_register(r.name, r.ops), r.result);
    cause why;
    backend_ctx *ctx = backend_open(c.name, c.ifname, &why);
    EXPECT_EQ(ctx != nullptr ? ctx->ops : nullptr, c.opened);
    EXPECT_EQ(creates, c.creates);
    if (ctx == nullptr) continue;
    EXPECT_EQ(ctx->ifname, c.ifname);  // borrowed, not copied
    ctx->ops->destroy(ctx);
  }
}

// The product's backend registers itself at start-up; a link that dropped its
// initialiser would leave it out of every program built from the library.
TEST(BackendRegistration, WirelessExtensionsPresentAtStartUp) {
  cause why;
  backend_ctx *ctx = backend_open("WE", "lumra-none0", &why);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->ops, &we_ops);
  EXPECT_STREQ(ctx->ifname, "lumra-none0");
  EXPECT_EQ(backend_register("WE", &kA), -1);
  ctx->ops->destroy(ctx);
}

}  // namespace
