// SPDX-License-Identifier: MIT
#include "backend/nl80211/nl80211.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diag/diag.h"

namespace {

// The loopback interface is no nl80211 one, and the kernel may have no
// nl80211 at all: either way the scan leaves it to another backend. A
// missing interface is no such case.
TEST(Nl80211, InterfaceItCannotServe) {
  const struct {
    const char *ifname;
    int unserved;
    std::vector<std::string> causes;
  } cases[] = {
      {"lo",
       1,
       {"nl80211 not available (no cfg80211)", "lo: not an nl80211 interface",
        "nl80211: Protocol not supported" /* qemu-user */}},
      {"lumra-none0", 0, {"lumra-none0: No such device"}},
  };
  for (const auto &c : cases) {
    diag_reset();
    backend_ctx *ctx = nl80211_create();
    ASSERT_NE(ctx, nullptr);
    ctx->ifname = c.ifname;
    EXPECT_EQ(nl80211_scan(ctx), -1);
    EXPECT_EQ(ctx->unserved, c.unserved);
    const std::string cause = diag_failure() != nullptr ? diag_failure() : "";
    EXPECT_NE(std::find(c.causes.begin(), c.causes.end(), cause), c.causes.end()) << cause;
    nl80211_destroy(ctx);
  }
  diag_reset();
}

}  // namespace
