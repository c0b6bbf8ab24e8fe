// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/we/we.h"
#include "diag/diag.h"
#include "fakewext.h"
#include "netlist/netlist.h"

namespace {

using fakewext::Call;
using fakewext::Failure;
using fakewext::Interface;
namespace ev = fakewext::ev;

const uint8_t kAp[6] = {0x02, 0, 0, 0, 0, 0x02};
const char *const kApText = "02:00:00:00:00:02";

network_entry *cached(const char *bssid, const char *essid) {
  network_entry *e = list_append_new();
  snprintf(e->bssid, sizeof e->bssid, "%s", bssid);
  e->essid_len = static_cast<uint32_t>(snprintf(e->essid, sizeof e->essid, "%s", essid));
  snprintf(e->mode, sizeof e->mode, "Master");
  e->channel = 1;
  e->quality = 42;
  return e;
}

std::vector<network_entry *> listed() {
  std::vector<network_entry *> out;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) out.push_back(e);
  return out;
}

// An associated interface: 36 Mbit/s, link quality 61, channel 11; the scan
// of its ESSID reports the access point's cell.
Interface associated() {
  Interface i;
  i.name = "wlan0";
  memcpy(i.ap, kAp, 6);
  i.bitrate = 36000000;
  i.essid = "home";
  i.freq = fakewext::freq_of_mhz(2462);
  i.link = {61, 0, 0, IW_QUAL_QUAL_UPDATED};
  i.cells = {{ev::ap("02:00:00:00:00:01"), ev::essid("other")},
             {ev::ap(kApText), ev::essid("home"), ev::freq_mhz(2462), ev::encode_on(),
              ev::qual(35, 0xc8, 0, IW_QUAL_DBM)}};
  return i;
}

struct Outcome {
  int result;
  int added;
};

class Current : public ::testing::Test {
 protected:
  void SetUp() override {
    list_clear();
    ctx = we_create();
    ASSERT_NE(ctx, nullptr);
    ctx->ifname = "wlan0";
    descriptors = fakewext::open_descriptors();
  }
  void TearDown() override {
    // Every query, failed or not, closed the socket it opened.
    EXPECT_EQ(fakewext::open_descriptors(), descriptors);
    we_destroy(ctx);
    list_clear();
  }
  Outcome run() {
    int added = 7;
    int r = we_current(ctx, &added);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    return {r, added};
  }
  backend_ctx *ctx = nullptr;
  int descriptors = 0;
};

TEST_F(Current, EmptyListQueriesNothing) {
  fakewext::Session session;
  session.add(associated());
  Outcome o = run();
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.added, 0);
  EXPECT_TRUE(session.driver().log().empty());
}

TEST_F(Current, NoSocket) {
  diag_reset();
  fakewext::Session session;
  session.add(associated());
  cached(kApText, "home");
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  int added = 7;
  int r = we_current(ctx, &added);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(added, 0);
  EXPECT_LT(we_of(ctx)->fd, 0);
  // The first socket's errno, not that of libiw's last try.
  EXPECT_STREQ(diag_failure(), "socket: Too many open files");
  we_of(ctx)->fd = -1;
}

// Only an interface without Wireless Extensions leaves the run to another
// backend, not one whose driver cannot give its range.
TEST_F(Current, WithoutWirelessExtensions) {
  const struct {
    bool wireless;
    int error;
    const char *cause;
  } cases[] = {
      {false, ENOTTY, "no Wireless Extensions on wlan0 (try -b NL80211)"},
      {false, EOPNOTSUPP, "no Wireless Extensions on wlan0 (try -b NL80211)"},
      {true, EOPNOTSUPP, "SIOCGIWRANGE on wlan0: Operation not supported"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cause);
    fakewext::Session session;
    Interface &i = session.add(associated());
    i.wireless = c.wireless;
    i.wireless_error = c.error;
    if (c.wireless) i.failures = {Failure{SIOCGIWRANGE, 0, c.error}};
    cached(kApText, "home");
    diag_reset();
    ctx->unserved = 0;
    EXPECT_EQ(run().result, -1);
    EXPECT_STREQ(diag_failure(), c.cause);
    EXPECT_EQ(ctx->unserved, c.wireless ? 0 : 1);
  }
  diag_reset();
}

// Each row: the interface as set up, whether the cache holds the access
// point, and what the query gives. The quality and channel columns say
// whether those fields took the live values.
TEST_F(Current, ResultTable) {
  struct Row {
    const char *name;
    bool in_cache;
    void (*setup)(Interface &);
    Outcome outcome;
    bool updated;  // the AP's entry got its rate and current mark
    int quality;   // then: its quality and channel
    int channel;
  };
  const Row rows[] = {
      {"SIOCGIFFLAGS fails",
       true,
       [](Interface &i) {
         i.failures = {Failure{SIOCGIFFLAGS, 0, ENODEV}};
       },
       {0, 0},
       false,
       0,
       0},
      {"interface down", true, [](Interface &i) { i.flags = IFF_BROADCAST; }, {0, 0}, false, 0, 0},
      {"range unreadable",
       true,
       [](Interface &i) {
         i.failures = {Failure{SIOCGIWRANGE, 0, EOPNOTSUPP}};
       },
       {-1, 0},
       false,
       0,
       0},
      {"version 13", true, [](Interface &i) { i.we_version = 13; }, {-1, 0}, false, 0, 0},
      {"protocol name unreadable",
       true,
       [](Interface &i) {
         i.failures = {Failure{SIOCGIWNAME, 0, EOPNOTSUPP}};
       },
       {-1, 0},
       false,
       0,
       0},
      {"SIOCGIWAP fails",
       true,
       [](Interface &i) {
         i.failures = {Failure{SIOCGIWAP, 0, EIO}};
       },
       {0, 0},
       false,
       0,
       0},
      {"not associated (zeros)",
       false,
       [](Interface &i) { memset(i.ap, 0, 6); },
       {0, 0},
       false,
       0,
       0},
      {"not associated (broadcast)",
       false,
       [](Interface &i) { memset(i.ap, 0xff, 6); },
       {0, 0},
       false,
       0,
       0},
      // libiw names this address "None": no entry has that text, and the
      // directed scan finds none either.
      {"no access point (44:44:...)",
       false,
       [](Interface &i) { memset(i.ap, 0x44, 6); },
       {0, 0},
       false,
       0,
       0},
      {"SIOCGIWESSID fails",
       false,
       [](Interface &i) {
         i.failures = {Failure{SIOCGIWESSID, 0, EIO}};
       },
       {-1, 0},
       false,
       0,
       0},
      // The query's own frequency requests: the directed scan's, then the
      // refresh's.
      {"first SIOCGIWFREQ fails",
       false,
       [](Interface &i) {
         i.failures = {Failure{SIOCGIWFREQ, 1, EIO}};
       },
       {-1, 0},
       false,
       0,
       0},
      {"cached", true, [](Interface &) {}, {0, 0}, true, 61, 11},
      {"cached, no percentage",
       true,
       [](Interface &i) {
         i.max_qual = {50, 255, 0, 0};
         i.link = {200, 10, 0, IW_QUAL_QUAL_UPDATED | IW_QUAL_LEVEL_UPDATED};
       },
       {0, 0},
       true,
       42,
       11},
      {"cached, last SIOCGIWFREQ fails",
       true,
       [](Interface &i) {
         i.failures = {Failure{SIOCGIWFREQ, 1, EIO}};
       },
       {0, 0},
       true,
       61,
       1},
      {"added by the directed scan", false, [](Interface &) {}, {0, 1}, true, 61, 11},
      // The figure of the scan's quality event (35 of 50) stays.
      {"added, no percentage",
       false,
       [](Interface &i) {
         i.max_qual = {50, 255, 0, 0};
         i.link = {200, 10, 0, IW_QUAL_QUAL_UPDATED | IW_QUAL_LEVEL_UPDATED};
       },
       {0, 1},
       true,
       70,
       11},
      // The channel of the scan's frequency event stays.
      {"added, last SIOCGIWFREQ fails",
       false,
       [](Interface &i) {
         i.failures = {Failure{SIOCGIWFREQ, 2, EIO}};
         i.cells[1].push_back(ev::freq_mhz(2437));
       },
       {0, 1},
       true,
       61,
       6},
      {"directed scan does not report it",
       false,
       [](Interface &i) { i.cells = {{ev::ap("02:00:00:00:00:01")}}; },
       {0, 0},
       false,
       0,
       0},
      {"directed scan refused",
       false,
       [](Interface &i) {
         i.failures = {Failure{SIOCSIWSCAN, 0, EPERM}};
       },
       {0, 0},
       false,
       0,
       0},
      // The radio is scanning already: that scan's results carry the cell.
      {"directed scan joins a running scan",
       false,
       [](Interface &i) {
         i.failures = {Failure{SIOCSIWSCAN, 0, EBUSY}};
         i.fetches = {fakewext::fetch::not_ready(2)};
       },
       {0, 1},
       true,
       61,
       11},
      {"directed scan joins a scan that never ends",
       false,
       [](Interface &i) {
         i.failures = {Failure{SIOCSIWSCAN, 0, EBUSY}};
         i.fetches = {fakewext::fetch::not_ready(1000)};
       },
       {0, 0},
       false,
       0,
       0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    list_clear();
    we_of(ctx)->ap_addr[0] = '\0';
    fakewext::Session session;
    Interface iface = associated();
    row.setup(iface);
    const short flags_before = iface.flags;
    Interface &live = session.add(std::move(iface));
    network_entry *other = cached("02:00:00:00:00:09", "cafe");
    if (row.in_cache) cached(kApText, "home");
    size_t before = listed().size();

    Outcome o = run();
    EXPECT_EQ(o.result, row.outcome.result);
    EXPECT_EQ(o.added, row.outcome.added);
    // Never brought up, never a full scan.
    EXPECT_EQ(live.flags, flags_before);
    EXPECT_EQ(session.driver().count(SIOCSIFFLAGS), 0u);
    for (const Call &c : session.driver().calls(SIOCSIWSCAN))
      EXPECT_EQ(c.flags, IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ);
    EXPECT_LE(session.driver().count(SIOCSIWSCAN), 1u);

    EXPECT_EQ(listed().size(), before + static_cast<size_t>(row.outcome.added));
    EXPECT_EQ(other->current, 0u);
    EXPECT_EQ(other->quality, 42);
    network_entry *ap = list_find_bssid(kApText);
    if (!row.updated) {
      if (ap != nullptr) {
        EXPECT_EQ(ap->current, 0u);
        EXPECT_STREQ(ap->bitrate, "");
        EXPECT_EQ(ap->quality, 42);
        EXPECT_EQ(ap->channel, 1);
      }
      continue;
    }
    ASSERT_NE(ap, nullptr);
    EXPECT_STREQ(we_of(ctx)->ap_addr, kApText);
    EXPECT_EQ(ap->current, 1u);
    EXPECT_STREQ(ap->bitrate, "36 Mbit/s");
    EXPECT_EQ(ap->quality, row.quality);
    EXPECT_EQ(ap->channel, row.channel);
    if (!row.in_cache) {
      EXPECT_EQ(listed().back(), ap);
    }
  }
}

TEST_F(Current, NotAssociatedLeavesAddressText) {
  fakewext::Session session;
  Interface i = associated();
  memset(i.ap, 0, 6);
  session.add(std::move(i));
  cached(kApText, "home");
  snprintf(we_of(ctx)->ap_addr, sizeof we_of(ctx)->ap_addr, "before");
  EXPECT_EQ(run().result, 0);
  EXPECT_STREQ(we_of(ctx)->ap_addr, "before");
  EXPECT_EQ(session.driver().count(SIOCGIWESSID), 0u);  // no directed scan
}

TEST_F(Current, DirectedScanForThePresentEssidAndFrequency) {
  fakewext::Session session;
  Interface &live = session.add(associated());
  cached("02:00:00:00:00:09", "cafe");
  ASSERT_EQ(run().added, 1);
  std::vector<Call> triggers = session.driver().calls(SIOCSIWSCAN);
  ASSERT_EQ(triggers.size(), 1u);
  iw_scan_req expected;
  memset(&expected, 0, sizeof expected);
  expected.essid_len = 4;
  memcpy(expected.essid, "home", 4);
  expected.num_channels = 1;
  expected.channel_list[0] = live.freq;
  const auto *bytes = reinterpret_cast<const uint8_t *>(&expected);
  EXPECT_EQ(triggers[0].payload, fakewext::Bytes(bytes, bytes + sizeof expected));
  // Only the associated cell is taken from the result.
  EXPECT_EQ(list_find_bssid("02:00:00:00:00:01"), nullptr);
  network_entry *ap = list_find_bssid(kApText);
  ASSERT_NE(ap, nullptr);
  EXPECT_EQ(std::string(ap->essid, ap->essid_len), "home");
}

TEST_F(Current, LongEssidIsCutTo32) {
  // An ESSID reported with 33 bytes (older drivers count the terminator).
  fakewext::Session session;
  Interface i = associated();
  i.essid = std::string(32, 'L') + std::string(1, '\0');
  session.add(std::move(i));
  cached("02:00:00:00:00:09", "cafe");
  run();
  std::vector<Call> triggers = session.driver().calls(SIOCSIWSCAN);
  ASSERT_EQ(triggers.size(), 1u);
  EXPECT_EQ(triggers[0].payload.at(1), 32);
}

TEST_F(Current, OnlyTheFirstOfTwoEntriesIsUpdated) {
  fakewext::Session session;
  session.add(associated());
  network_entry *first = cached(kApText, "home");
  network_entry *second = cached(kApText, "home");
  Outcome o = run();
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.added, 0);
  EXPECT_EQ(first->current, 1u);
  EXPECT_EQ(first->quality, 61);
  EXPECT_EQ(second->current, 0u);
  EXPECT_EQ(second->quality, 42);
}

TEST_F(Current, PartialRefreshes) {
  const struct {
    const char *name;
    void (*setup)(Interface &);
    const char *bitrate;
    uint32_t current;
    int quality;
    int channel;
  } cases[] = {
      {"rate fails",
       [](Interface &i) {
         i.failures = {Failure{SIOCGIWRATE, 0, EIO}};
       },
       "", 0, 61, 11},
      {"rate below 1000 bit/s", [](Interface &i) { i.bitrate = 500; }, "", 1, 61, 11},
      {"no statistics", [](Interface &i) { i.stats = false; }, "36 Mbit/s", 1, 42, 11},
      {"quality above 100",
       [](Interface &i) {
         i.link = {250, 0, 0, 0};
       },
       "36 Mbit/s", 1, 100, 11},
      {"live quality 0",
       [](Interface &i) {
         i.link = {0, 0, 0, IW_QUAL_QUAL_UPDATED};
       },
       "36 Mbit/s", 1, 0, 11},
      {"upper 5 GHz channel off the range",
       [](Interface &i) { i.freq = fakewext::freq_of_mhz(5745); }, "36 Mbit/s", 1, 61, 149},
      {"6 GHz channel", [](Interface &i) { i.freq = fakewext::freq_of_mhz(5955); }, "36 Mbit/s", 1,
       61, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    list_clear();
    fakewext::Session session;
    Interface i = associated();
    c.setup(i);
    session.add(std::move(i));
    network_entry *e = cached(kApText, "home");
    Outcome o = run();
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.added, 0);
    EXPECT_STREQ(e->bitrate, c.bitrate);
    EXPECT_EQ(e->current, c.current);
    EXPECT_EQ(e->quality, c.quality);
    EXPECT_EQ(e->channel, c.channel);
  }
}

TEST_F(Current, NullAddedFlag) {
  for (bool in_cache : {true, false}) {
    SCOPED_TRACE(in_cache ? "cached" : "added");
    list_clear();
    fakewext::Session session;
    session.add(associated());
    cached("02:00:00:00:00:09", "cafe");
    if (in_cache) cached(kApText, "home");
    EXPECT_EQ(we_current(ctx, nullptr), 0);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    network_entry *ap = list_find_bssid(kApText);
    ASSERT_NE(ap, nullptr);
    EXPECT_EQ(ap->current, 1u);
  }
}

}  // namespace
