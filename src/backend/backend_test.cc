// SPDX-License-Identifier: MIT
#include "backend/backend.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "backend/we/we.h"

namespace {

int a_creates = 0;
int b_creates = 0;

backend_ctx *create_a() {
  ++a_creates;
  return static_cast<backend_ctx *>(calloc(1, sizeof(backend_ctx)));
}
backend_ctx *create_b() {
  ++b_creates;
  return static_cast<backend_ctx *>(calloc(1, sizeof(backend_ctx)));
}
backend_ctx *create_none() {
  ++b_creates;
  return nullptr;
}
void destroy(backend_ctx *ctx) { free(ctx); }
int scan(backend_ctx *) { return 0; }
int current(backend_ctx *, int *) { return 0; }

const backend_ops ops_a = {.create = create_a,
                           .destroy = destroy,
                           .scan = scan,
                           .current = current};
const backend_ops ops_b = {.create = create_b,
                           .destroy = destroy,
                           .scan = scan,
                           .current = current};
const backend_ops ops_fail = {.create = create_none,
                              .destroy = destroy,
                              .scan = scan,
                              .current = current};

// Each test starts from an empty registry and leaves the process's own as it was.
class Registry : public ::testing::Test {
 protected:
  void SetUp() override { a_creates = b_creates = 0; }
  backend_internal::scoped_registry registry_;
};

TEST_F(Registry, OpenFillsGenericFields) {
  ASSERT_EQ(backend_register("reg-open", &ops_a), 0);
  const char *ifname = "wlan7";
  backend_ctx *ctx = backend_open("reg-open", ifname);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->ops, &ops_a);
  EXPECT_EQ(ctx->ifname, ifname);  // borrowed, not copied
  EXPECT_EQ(a_creates, 1);
  ctx->ops->destroy(ctx);
}

// The kernel takes 15 bytes of a name at most and drops the rest: a longer
// name would stand for another interface, and an empty one for none.
TEST_F(Registry, InterfaceNamesNoInterfaceCanHave) {
  ASSERT_EQ(backend_register("reg-names", &ops_a), 0);
  const struct {
    const char *ifname;
    bool opens;
  } cases[] = {
      {"", false},
      {"w", true},
      {"abcdefghijklmno", true},      // 15 bytes
      {"abcdefghijklmnop", false},    // 16
      {"abcdefghijklmnoXYZ", false},  // 18
      {nullptr, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ifname != nullptr ? c.ifname : "(null)");
    a_creates = 0;
    backend_ctx *ctx = backend_open("reg-names", c.ifname);
    EXPECT_EQ(ctx != nullptr, c.opens);
    EXPECT_EQ(a_creates, c.opens ? 1 : 0);
    if (ctx != nullptr) ctx->ops->destroy(ctx);
  }
}

TEST_F(Registry, DuplicateNameKeepsTheFirst) {
  ASSERT_EQ(backend_register("reg-dup", &ops_a), 0);
  EXPECT_EQ(backend_register("reg-dup", &ops_b), -1);
  backend_ctx *ctx = backend_open("reg-dup", "x");
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->ops, &ops_a);
  EXPECT_EQ(a_creates, 1);
  EXPECT_EQ(b_creates, 0);
  ctx->ops->destroy(ctx);
}

TEST_F(Registry, NamesMatchExactly) {
  ASSERT_EQ(backend_register("reg-Exact", &ops_a), 0);
  for (const char *name : {"reg-exact", "REG-EXACT", "reg-Exac", "reg-Exactly", "reg-Exact ", ""}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(backend_open(name, "x"), nullptr);
  }
  EXPECT_EQ(a_creates, 0);  // nothing is created for a name that is not there
}

TEST_F(Registry, EmptyNameOnlyWhenRegistered) {
  EXPECT_EQ(backend_open("", "x"), nullptr);
  ASSERT_EQ(backend_register("", &ops_b), 0);
  backend_ctx *ctx = backend_open("", "x");
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->ops, &ops_b);
  ctx->ops->destroy(ctx);
}

TEST_F(Registry, FailedCreateGivesNull) {
  ASSERT_EQ(backend_register("reg-fail", &ops_fail), 0);
  EXPECT_EQ(backend_open("reg-fail", "x"), nullptr);
  EXPECT_EQ(b_creates, 1);
}

TEST_F(Registry, LaterRegistrationsLeaveEarlierOnesReachable) {
  ASSERT_EQ(backend_register("reg-one", &ops_a), 0);
  ASSERT_EQ(backend_register("reg-two", &ops_b), 0);
  backend_ctx *one = backend_open("reg-one", "x");
  backend_ctx *two = backend_open("reg-two", "y");
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(one->ops, &ops_a);
  EXPECT_EQ(two->ops, &ops_b);
  one->ops->destroy(one);
  two->ops->destroy(two);
}

// The product's backend registers itself at start-up; a link that dropped its
// initialiser would leave it out of every program built from the library.
TEST(BackendRegistration, WirelessExtensionsPresentAtStartUp) {
  backend_ctx *ctx = backend_open("WE", "lumra-none0");
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->ops, &we_ops);
  EXPECT_STREQ(ctx->ifname, "lumra-none0");
  EXPECT_EQ(backend_register("WE", &ops_a), -1);
  ctx->ops->destroy(ctx);
}

}  // namespace
