// SPDX-License-Identifier: MIT
// Instance life cycle and the link snapshot, against the fake driver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "backend/we/we.h"
#include "diag/diag.h"
#include "fakewext.h"
#include "netlist/netlist.h"

namespace {

// Made directly or opened by name through the registry: no socket yet.
TEST(WeCreate, StartsWithoutSocket) {
  cause why;
  backend_ctx *opened = backend_open("WE", "wlan0", &why);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->ops, &we_ops);
  EXPECT_STREQ(opened->ifname, "wlan0");
  for (backend_ctx *ctx : {we_create(), opened}) {
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    we_destroy(ctx);
  }
}

TEST(WeDestroy, ClosesAnOpenSocketOnly) {
  backend_ctx *ctx = we_create();
  ASSERT_NE(ctx, nullptr);
  int fd = iw_sockets_open();
  ASSERT_GE(fd, 0);
  we_of(ctx)->fd = fd;
  we_destroy(ctx);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);

  // A negative fd (none open, or a failed open) closes nothing.
  int keep = iw_sockets_open();
  ASSERT_GE(keep, 0);
  for (int none : {-1, -2}) {
    ctx = we_create();
    ASSERT_NE(ctx, nullptr);
    we_of(ctx)->fd = none;
    we_destroy(ctx);
    EXPECT_NE(fcntl(keep, F_GETFD), -1);
  }
  close(keep);
}

// The snapshot holds what the steps before a failed one read.
TEST(WeLinkSnapshot, PartialFailures) {
  const char *const ap = "00:1a:2b:3c:4d:02", *const addr = "00:1A:2B:3C:4D:02";
  struct Case {
    const char *what;
    bool wireless;
    int32_t bitrate;
    fakewext::Failure failure;  // request 0: none
    const char *ap;             // the driver's association
    const char *addr;           // the address read, "" for none
    int64_t rate;               // the rate read, -1 for none
  };
  const Case cases[] = {
      {"all requests succeed", true, 54000000, {}, ap, addr, 54000000},
      {"no wireless extensions", false, 54000000, {}, ap, "", -1},
      {"SIOCGIWNAME fails", true, 54000000, {SIOCGIWNAME, 0, EIO}, ap, "", -1},
      {"SIOCGIWAP fails", true, 54000000, {SIOCGIWAP, 0, ENETDOWN}, ap, "", -1},
      {"SIOCGIWRATE fails", true, 54000000, {SIOCGIWRATE, 0, EOPNOTSUPP}, ap, addr, -1},
      // Requests that only iw_get_basic_config's extras make may fail.
      {"SIOCGIWESSID fails", true, 11000000, {SIOCGIWESSID, 0, EIO}, ap, addr, 11000000},
      {"not associated", true, 1000000, {}, "00:00:00:00:00:00", "", 1000000},
      {"the drivers' none", true, 1000000, {}, "44:44:44:44:44:44", "", 1000000},
      {"rate -1 is unsigned", true, -1, {}, ap, addr, 4294967295},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fakewext::Session fake;
    fakewext::Interface w;
    w.wireless = c.wireless;
    if (c.failure.request != 0) w.failures = {c.failure};
    ASSERT_TRUE(fakewext::parse_mac(c.ap, w.ap));
    w.bitrate = c.bitrate;
    fake.add(w);

    cause why;
    backend_ctx *ctx = backend_open("WE", "wlan0", &why);
    ASSERT_NE(ctx, nullptr);
    we_of(ctx)->fd = iw_sockets_open();
    ASSERT_GE(we_of(ctx)->fd, 0);
    link_record link{};
    we_link_snapshot(ctx, &link);
    char text[18] = "";
    if (link.has_addr) list_bssid_text(link.addr, text);
    EXPECT_STREQ(text, c.addr);
    EXPECT_EQ(link.has_rate ? static_cast<int64_t>(link.rate_bps) : -1, c.rate);
    EXPECT_GE(we_of(ctx)->fd, 0);  // the snapshot uses the socket, it does not close it
    we_destroy(ctx);
  }
}

// The requests go to the instance's socket and interface, in order, and stop
// at the first one that fails.
TEST(WeLinkSnapshot, Requests) {
  struct Case {
    unsigned long failing;  // 0: none
    size_t aps, rates;
    unsigned long last;  // the last request issued
  };
  const Case cases[] = {{0, 1, 1, SIOCGIWRATE},
                        {SIOCGIWNAME, 0, 0, SIOCGIWNAME},
                        {SIOCGIWAP, 1, 0, SIOCGIWAP},
                        {SIOCGIWRATE, 1, 1, SIOCGIWRATE}};
  for (const Case &c : cases) {
    SCOPED_TRACE(fakewext::request_name(c.failing));
    fakewext::Session fake;
    fakewext::Interface w;
    w.name = "wlan7";
    if (c.failing) w.failures = {{c.failing, 0, EIO}};
    fake.add(w);
    fake.add(fakewext::Interface{});  // wlan0, which must see nothing

    cause why;
    backend_ctx *ctx = backend_open("WE", "wlan7", &why);
    ASSERT_NE(ctx, nullptr);
    we_of(ctx)->fd = iw_sockets_open();
    link_record link{};
    we_link_snapshot(ctx, &link);
    const std::vector<fakewext::Call> &log = fake.driver().log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().request, static_cast<unsigned long>(SIOCGIWNAME));
    EXPECT_EQ(fake.driver().count(SIOCGIWAP, "wlan7"), c.aps);
    EXPECT_EQ(fake.driver().count(SIOCGIWRATE, "wlan7"), c.rates);
    EXPECT_EQ(log.back().request, c.last);
    for (const fakewext::Call &call : log) EXPECT_EQ(call.ifname, "wlan7");
    // No waits, no scans and no flag changes in a snapshot.
    EXPECT_TRUE(fake.driver().waits_us().empty());
    EXPECT_EQ(fake.driver().count(SIOCSIWSCAN), 0u);
    EXPECT_EQ(fake.driver().count(SIOCSIFFLAGS), 0u);
    we_destroy(ctx);
  }
}

// Quality reports against the range, as libiw reads them: the percentage of
// the signal record they give (negative: none).
TEST(WeSignal, Table) {
  const struct {
    const char *what;
    bool has_range;
    iw_quality max;   // the range's qual, level, noise
    iw_quality qual;  // qual, level, noise, updated
    int expected;
  } cases[] = {
      // Without a range, or a level of 0: the quality itself, capped.
      {"no range, q 0", false, {}, {0, 0, 0, 0}, 0},
      {"no range, q 99", false, {}, {99, 0, 0, 0}, 99},
      {"no range, q 100", false, {}, {100, 0, 0, 0}, 100},
      {"no range, q 250", false, {}, {250, 0, 0, 0}, 100},
      {"no range ignores rcpi", false, {}, {40, 5, 5, 0x80}, 40},
      {"no range ignores dbm", false, {}, {150, 5, 5, 0x08}, 100},
      {"level 0, range ignored", true, {50, 0, 0, 0}, {70, 0, 0, 0}, 70},
      {"level 0, q capped", true, {50, 0, 0, 0}, {200, 0, 0, 0}, 100},
      {"level 0, other flags do not count", true, {50, 0, 0, 0}, {70, 0, 0, 0x77}, 70},
      // The dBm and RCPI flags.
      {"dbm, mq 100, no cap", true, {100, 0, 0, 0}, {150, 0xC8, 0, 0x08}, 150},
      {"dbm, mq 70", true, {70, 0, 0, 0}, {35, 0xC8, 0, 0x08}, 50},
      {"dbm, mq 70, truncated", true, {70, 0, 0, 0}, {36, 0xC8, 0, 0x08}, 51},
      {"dbm, q above mq", true, {70, 0, 0, 0}, {140, 0xC8, 0, 0x08}, 200},
      {"dbm with level 0", true, {70, 0, 0, 0}, {35, 0, 0, 0x08}, 50},
      {"dbm and rcpi: dbm wins", true, {70, 0, 0, 0}, {35, 0xC8, 0, 0x88}, 50},
      {"rcpi", true, {70, 0, 0, 0}, {35, 0xC8, 0, 0x80}, -1},
      {"rcpi with level 0", true, {70, 0, 0, 0}, {35, 0, 0, 0x80}, -1},
      {"dbm, mq 0, q 80", true, {0, 0, 0, 0}, {80, 0xC8, 0, 0x08}, 80},
      {"dbm, mq 0, q 200", true, {0, 0, 0, 0}, {200, 0xC8, 0, 0x08}, 100},
      // Relative values. In the first two, level and noise are above their
      // maxima: their ratio (40 dB) would give 100, but the quality decides.
      {"mq 100, q within", true, {100, 0, 0, 0}, {80, 0xC8, 0xA0, 0}, 80},
      {"mq 100, q 100", true, {100, 0, 0, 0}, {100, 0xC8, 0xA0, 0}, 100},
      {"mq 94, q 47", true, {94, 255, 0, 0}, {47, 10, 0, 0}, 50},
      {"mq 94, q 93 truncated", true, {94, 255, 0, 0}, {93, 10, 0, 0}, 98},
      {"noise within only", true, {94, 0, 255, 0}, {47, 10, 10, 0}, 50},
      {"level at its maximum, noise above", true, {50, 200, 205, 0}, {25, 200, 210, 0}, 50},
      {"noise at its maximum, level above", true, {50, 190, 210, 0}, {25, 200, 210, 0}, 50},
      {"mq 50, q 200 as signed", true, {50, 255, 0, 0}, {200, 10, 0, 0}, -1},
      {"mq 50, q 120 capped", true, {50, 255, 0, 0}, {120, 10, 0, 0}, 100},
      {"mq 50, q 127", true, {50, 255, 0, 0}, {127, 10, 0, 0}, 100},
      {"mq 50, q 128", true, {50, 255, 0, 0}, {128, 10, 0, 0}, -1},
      {"mq 50, q 255", true, {50, 255, 0, 0}, {255, 10, 0, 0}, -1},
      {"mq 50, q 99 above mq", true, {50, 255, 0, 0}, {99, 10, 0, 0}, 99},
      {"mq 100, q 150 not within", true, {100, 255, 0, 0}, {150, 10, 0, 0}, -1},
      {"mq 0, q 0", true, {0, 255, 0, 0}, {0, 10, 0, 0}, 0},
      {"mq 0, q 5", true, {0, 255, 0, 0}, {5, 10, 0, 0}, 5},
  };
  for (const auto &c : cases) {
    iw_range range{};
    range.max_qual = c.max;
    EXPECT_EQ(signal_percent(we_signal(c.qual, c.has_range ? &range : nullptr)), c.expected)
        << c.what;
  }
}

}  // namespace
