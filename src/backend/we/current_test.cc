// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/we/test_we.h"
#include "backend/we/we.h"
#include "diag/diag.h"
#include "fakewext.h"
#include "netlist/netlist.h"

namespace {

using fakewext::Call;
using fakewext::Failure;
using fakewext::Interface;
using we_test::listed;
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

// What a query refreshes of an entry: "current|rate|quality|channel".
std::string state(const network_entry *e) {
  if (e == nullptr) return "absent";
  return std::to_string(e->current) + "|" + e->bitrate + "|" + std::to_string(e->quality) + "|" +
         std::to_string(e->channel);
}
const char *const kUntouched = "0||42|1";  // as cached() made it
const char *const kLive = "1|36 Mbit/s|61|11";

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
    descriptors = fakewext::open_descriptors();
    ctx = backend_open("WE", "wlan0", &why);
    ASSERT_NE(ctx, nullptr);
  }
  void TearDown() override {
    // Every query, failed or not, closed the socket it opened.
    EXPECT_EQ(fakewext::open_descriptors(), descriptors);
    we_destroy(ctx);
    list_clear();
  }
  Outcome run() {
    int added = 7;
    int r = we_ops.current(ctx, &added, &why);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    return {r, added};
  }
  backend_ctx *ctx = nullptr;
  cause why;
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
  fakewext::Session session;
  session.add(associated());
  cached(kApText, "home");
  int added = 7;
  EXPECT_EQ(we_test::without_descriptors([&] { return we_ops.current(ctx, &added, &why); }), -1);
  EXPECT_EQ(added, 0);
  EXPECT_LT(we_of(ctx)->fd, 0);
  // The first socket's errno, not that of libiw's last try.
  EXPECT_STREQ(why.text, "socket: Too many open files");
  we_of(ctx)->fd = -1;
}

// Only an interface without Wireless Extensions is one the backend cannot
// serve: not a missing one (whichever errno the kernel gives, the flags
// tell the two apart), nor one whose driver cannot give its range.
TEST_F(Current, WithoutWirelessExtensionsScanAndQuery) {
  const char *const kNoWe = "no Wireless Extensions on wlan0";
  const struct {
    bool scan;  // the scan, else the cached run
    bool wireless;
    int error;
    Failure fail;
    const char *cause;
    const char *code = "no-wext";
  } cases[] = {
      {true, false, ENOTTY, {}, kNoWe},
      {true, false, EOPNOTSUPP, {}, kNoWe},
      {true, false, ENOTTY, {SIOCGIFFLAGS, 0, ENODEV}, "wlan0: No such device", "no-device"},
      {false, false, ENOTTY, {}, kNoWe},
      {false, false, EOPNOTSUPP, {}, kNoWe},
      {false,
       true,
       EOPNOTSUPP,
       {SIOCGIWRANGE, 0, EOPNOTSUPP},
       "SIOCGIWRANGE on wlan0: Operation not supported",
       "scan-failed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.scan ? "scan: " : "query: ") + c.cause);
    list_clear();
    fakewext::Session session;
    Interface &i = session.add(associated());
    i.wireless = c.wireless;
    i.wireless_error = c.error;
    if (c.fail.request != 0) i.failures = {c.fail};
    cached(kApText, "home");
    why = {};
    EXPECT_EQ(c.scan ? we_ops.scan(ctx, {}, &why) : run().result,
              std::string(c.cause) == kNoWe ? kUnserved : -1);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    EXPECT_STREQ(why.text, c.cause);
    EXPECT_STREQ(why.code, c.code);
    // The probe tells the same before any operation.
    cause probed;
    EXPECT_EQ(we_ops.probe(ctx, &probed), std::string(c.cause) == kNoWe ? 0 : c.wireless ? 1 : -1);
    EXPECT_EQ(we_of(ctx)->fd, -1);
  }
}

// Changes to the associated interface, for the rows below.
void no_percentage(Interface &i) {
  i.max_qual = {50, 255, 0, 0};
  i.link = {200, 10, 0, IW_QUAL_QUAL_UPDATED | IW_QUAL_LEVEL_UPDATED};
}
void down(Interface &i) { i.flags = IFF_BROADCAST; }
void version_13(Interface &i) { i.we_version = 13; }
void ap_zeros(Interface &i) { memset(i.ap, 0, 6); }
void ap_broadcast(Interface &i) { memset(i.ap, 0xff, 6); }
void ap_44(Interface &i) { memset(i.ap, 0x44, 6); }
void rate_500(Interface &i) { i.bitrate = 500; }
void no_stats(Interface &i) { i.stats = false; }
void quality_250(Interface &i) { i.link = {250, 0, 0, 0}; }
void quality_0(Interface &i) { i.link = {0, 0, 0, IW_QUAL_QUAL_UPDATED}; }
void at_5745(Interface &i) { i.freq = fakewext::freq_of_mhz(5745); }
void at_5955(Interface &i) { i.freq = fakewext::freq_of_mhz(5955); }
void cell_2437(Interface &i) { i.cells[1].push_back(ev::freq_mhz(2437)); }
void other_cell_only(Interface &i) { i.cells = {{ev::ap("02:00:00:00:00:01")}}; }
void not_ready_2(Interface &i) { i.fetches = {fakewext::fetch::not_ready(2)}; }
void never_ready(Interface &i) { i.fetches = {fakewext::fetch::not_ready(1000)}; }

// Each row: the interface as set up (a failing request and a change), whether
// the cache holds the access point, what the query gives and the access
// point's entry afterwards. Another cached entry is never touched.
TEST_F(Current, ResultTable) {
  const char *const kAbsent = "absent";
  struct Row {
    const char *name;
    bool in_cache;
    Failure fail;  // request 0: none
    void (*setup)(Interface &);
    int result, added;
    const char *ap;  // state() of the access point's entry
  };
  const Row rows[] = {
      {"SIOCGIFFLAGS fails", true, {SIOCGIFFLAGS, 0, ENODEV}, nullptr, 0, 0, kUntouched},
      {"interface down", true, {}, down, 0, 0, kUntouched},
      {"range unreadable", true, {SIOCGIWRANGE, 0, EOPNOTSUPP}, nullptr, -1, 0, kUntouched},
      {"version 13", true, {}, version_13, -1, 0, kUntouched},
      {"protocol name unreadable", true, {SIOCGIWNAME, 0, EOPNOTSUPP}, nullptr, -1, 0, kUntouched},
      {"SIOCGIWAP fails", true, {SIOCGIWAP, 0, EIO}, nullptr, 0, 0, kUntouched},
      {"not associated (zeros)", false, {}, ap_zeros, 0, 0, kAbsent},
      {"not associated (broadcast)", false, {}, ap_broadcast, 0, 0, kAbsent},
      // libiw names this address "None": no entry has that text, and the
      // directed scan finds none either.
      {"no access point (44:44:...)", false, {}, ap_44, 0, 0, kAbsent},
      {"SIOCGIWESSID fails", false, {SIOCGIWESSID, 0, EIO}, nullptr, -1, 0, kAbsent},
      // The query's own frequency requests: the directed scan's, then the
      // refresh's.
      {"first SIOCGIWFREQ fails", false, {SIOCGIWFREQ, 1, EIO}, nullptr, -1, 0, kAbsent},
      {"cached", true, {}, nullptr, 0, 0, kLive},
      {"cached, no percentage", true, {}, no_percentage, 0, 0, "1|36 Mbit/s|42|11"},
      {"cached, SIOCGIWFREQ fails", true, {SIOCGIWFREQ, 1, EIO}, nullptr, 0, 0, "1|36 Mbit/s|61|1"},
      {"rate fails", true, {SIOCGIWRATE, 0, EIO}, nullptr, 0, 0, "0||61|11"},
      {"rate below 1000 bit/s", true, {}, rate_500, 0, 0, "1||61|11"},
      {"no statistics", true, {}, no_stats, 0, 0, "1|36 Mbit/s|42|11"},
      {"quality above 100", true, {}, quality_250, 0, 0, "1|36 Mbit/s|100|11"},
      {"live quality 0", true, {}, quality_0, 0, 0, "1|36 Mbit/s|0|11"},
      {"upper 5 GHz channel off the range", true, {}, at_5745, 0, 0, "1|36 Mbit/s|61|149"},
      {"6 GHz channel", true, {}, at_5955, 0, 0, "1|36 Mbit/s|61|1"},
      {"added by the directed scan", false, {}, nullptr, 0, 1, kLive},
      // The figure of the scan's quality event (35 of 50) stays.
      {"added, no percentage", false, {}, no_percentage, 0, 1, "1|36 Mbit/s|70|11"},
      // The channel of the scan's frequency event stays.
      {"added, last FREQ fails", false, {SIOCGIWFREQ, 2, EIO}, cell_2437, 0, 1, "1|36 Mbit/s|61|6"},
      {"directed scan does not report it", false, {}, other_cell_only, 0, 0, kAbsent},
      {"directed scan refused", false, {SIOCSIWSCAN, 0, EPERM}, nullptr, 0, 0, kAbsent},
      // The radio is scanning already: the directed scan takes that scan's
      // results, which carry the cell.
      {"joins a running scan", false, {SIOCSIWSCAN, 0, EBUSY}, not_ready_2, 0, 1, kLive},
      {"joins a scan that never ends", false, {SIOCSIWSCAN, 0, EBUSY}, never_ready, 0, 0, kAbsent},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    list_clear();
    fakewext::Session session;
    Interface iface = associated();
    if (row.fail.request != 0) iface.failures = {row.fail};
    if (row.setup != nullptr) row.setup(iface);
    const short flags_before = iface.flags;
    Interface &live = session.add(std::move(iface));
    network_entry *other = cached("02:00:00:00:00:09", "cafe");
    if (row.in_cache) cached(kApText, "home");
    size_t before = listed().size();

    Outcome o = run();
    EXPECT_EQ(o.result, row.result);
    EXPECT_EQ(o.added, row.added);
    // Never brought up, never a full scan.
    EXPECT_EQ(live.flags, flags_before);
    EXPECT_EQ(session.driver().count(SIOCSIFFLAGS), 0u);
    for (const Call &c : session.driver().calls(SIOCSIWSCAN))
      EXPECT_EQ(c.flags, IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ);
    EXPECT_LE(session.driver().count(SIOCSIWSCAN), 1u);

    EXPECT_EQ(listed().size(), before + static_cast<size_t>(row.added));
    EXPECT_EQ(state(other), kUntouched);
    network_entry *ap = list_find_bssid(kApText);
    EXPECT_EQ(state(ap), row.ap);
    if (row.added != 0) {
      EXPECT_EQ(listed().back(), ap);
    }
  }
}

// The directed scan asks for the present ESSID on the present frequency, an
// ESSID reported with 33 bytes (older drivers count the terminator) cut to
// 32; only the associated cell is taken from the result.
TEST_F(Current, DirectedScanForThePresentEssidAndFrequency) {
  const std::string long_essid(32, 'L');
  for (const std::string &essid : {std::string("home"), long_essid + std::string(1, '\0')}) {
    SCOPED_TRACE(essid.size());
    list_clear();
    fakewext::Session session;
    Interface i = associated();
    i.essid = essid;
    Interface &live = session.add(std::move(i));
    cached("02:00:00:00:00:09", "cafe");
    ASSERT_EQ(run().added, 1);
    std::vector<Call> triggers = session.driver().calls(SIOCSIWSCAN);
    ASSERT_EQ(triggers.size(), 1u);
    const uint8_t sent = static_cast<uint8_t>(essid.size() > 32 ? 32 : essid.size());
    EXPECT_EQ(triggers[0].payload, we_test::directed_request(essid.data(), sent, live.freq));
    EXPECT_EQ(list_find_bssid("02:00:00:00:00:01"), nullptr);
    network_entry *ap = list_find_bssid(kApText);
    ASSERT_NE(ap, nullptr);
    EXPECT_EQ(std::string(ap->essid, ap->essid_len), "home");
  }
}

}  // namespace
