// SPDX-License-Identifier: MIT
#include "backend/nl80211/nl80211.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "diag/diag.h"
#include "netlist/netlist.h"

namespace {

short flags_of(const char *ifname) {
  ifreq ifr{};
  strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int r = fd >= 0 ? ioctl(fd, SIOCGIFFLAGS, &ifr) : -1;
  if (fd >= 0) close(fd);
  return r == 0 ? ifr.ifr_flags : -1;
}

// The loopback interface is no nl80211 one, and the kernel may have no
// nl80211 at all: either way the operations leave it to another backend,
// having changed nothing. A missing interface is no such case.
TEST(Nl80211, InterfaceItCannotServe) {
  list_clear();
  const short before = flags_of("lo");
  for (const char *ifname : {"lo", "lumra-none0"}) {
    SCOPED_TRACE(ifname);
    diag_reset();
    backend_ctx *ctx = nl80211_create();
    ASSERT_NE(ctx, nullptr);
    ctx->ifname = ifname;
    EXPECT_EQ(nl80211_scan(ctx), -1);
    const std::string cause = diag_failure() != nullptr ? diag_failure() : "";
    if (strcmp(ifname, "lo") == 0) {
      EXPECT_EQ(ctx->unserved, 1);
      EXPECT_TRUE(cause == "nl80211 not available (no cfg80211)" ||
                  cause == "lo: not an nl80211 interface" ||
                  cause == "nl80211: Protocol not supported")  // qemu-user
          << cause;
    } else {
      EXPECT_EQ(ctx->unserved, 0);
      EXPECT_EQ(cause, "lumra-none0: No such device");
    }
    nl80211_destroy(ctx);
  }
  EXPECT_EQ(flags_of("lo"), before);
  EXPECT_EQ(list_first(), nullptr);
  diag_reset();
}

}  // namespace
