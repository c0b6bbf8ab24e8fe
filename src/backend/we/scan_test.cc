// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/we/we.h"
#include "diag/diag.h"
#include "fakewext.h"
#include "netlist/netlist.h"

namespace {

using fakewext::Call;
using fakewext::Cell;
using fakewext::Failure;
using fakewext::Interface;
using fakewext::WaitStep;
namespace ev = fakewext::ev;
namespace fetch = fakewext::fetch;

constexpr long kFirstWait = 250000;
constexpr long kRetryWait = 100000;
constexpr long kPause = 2000000;

Cell cell(const char *mac, const char *essid) {
  return {ev::ap(mac), ev::essid(essid), ev::freq_mhz(2437), ev::mode(IW_MODE_MASTER),
          ev::encode_off()};
}

std::vector<std::string> bssids() {
  std::vector<std::string> out;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) out.emplace_back(e->bssid);
  return out;
}

std::vector<uint16_t> fetch_lengths(const fakewext::Driver &d) {
  std::vector<uint16_t> out;
  for (const Call &c : d.calls(SIOCGIWSCAN)) out.push_back(c.length);
  return out;
}

// Runs of one value, for the expected select timeouts.
std::vector<int64_t> repeat(int64_t value, size_t n) { return std::vector<int64_t>(n, value); }
std::vector<int64_t> concat(std::vector<std::vector<int64_t>> parts) {
  std::vector<int64_t> out;
  for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class Scan : public ::testing::Test {
 protected:
  void SetUp() override {
    list_clear();
    Interface i;
    i.name = "wlan0";
    i.cells = {cell("02:00:00:00:00:01", "one"), cell("02:00:00:00:00:02", "two")};
    iface = &session.add(std::move(i));
    ctx = we_create();
    ASSERT_NE(ctx, nullptr);
    ctx->ifname = "wlan0";
    descriptors = fakewext::open_descriptors();
  }
  void TearDown() override {
    // Every scan, failed or not, closed the socket it opened.
    EXPECT_EQ(fakewext::open_descriptors(), descriptors);
    we_destroy(ctx);
    list_clear();
  }
  fakewext::Driver &driver() { return session.driver(); }
  // One scan pass on a socket of the test's own, as the callers hold it.
  int scan_once(int directed = 0, const void *essid = nullptr, int essid_len = 0,
                const iw_freq *freq = nullptr) {
    we_of(ctx)->fd = iw_sockets_open();
    EXPECT_GE(we_of(ctx)->fd, 0);
    int r = we_scan_once(ctx, directed, essid, essid_len, freq);
    // The pass leaves the socket open.
    EXPECT_NE(fcntl(we_of(ctx)->fd, F_GETFD), -1);
    close(we_of(ctx)->fd);
    we_of(ctx)->fd = -1;
    return r;
  }

  fakewext::Session session;
  Interface *iface = nullptr;
  backend_ctx *ctx = nullptr;
  int descriptors = 0;
};

TEST_F(Scan, FivePassesTwoSecondsApart) {
  ASSERT_EQ(we_scan(ctx), 0);
  EXPECT_EQ(we_of(ctx)->fd, -1);
  EXPECT_EQ(driver().count(SIOCSIWSCAN), 5u);
  EXPECT_EQ(driver().count(SIOCGIWSCAN), 5u);
  EXPECT_EQ(driver().waits_us(),
            (std::vector<int64_t>{kFirstWait, kPause, kFirstWait, kPause, kFirstWait, kPause,
                                  kFirstWait, kPause, kFirstWait}));
  // The pauses wait on no descriptor, the others on the socket alone.
  std::vector<Call> waits = driver().calls(fakewext::kPoll);
  ASSERT_EQ(waits.size(), 9u);
  for (const Call &c : waits) {
    long us = c.timeout.tv_sec * 1000000L + c.timeout.tv_usec;
    EXPECT_EQ(c.nfds, us == kPause ? 0 : 1);
    EXPECT_EQ(c.fd >= 0, us != kPause);
  }
  EXPECT_EQ(driver().now_us(), 4 * kPause + 5 * kFirstWait);
  EXPECT_EQ(bssids(), (std::vector<std::string>{"02:00:00:00:00:01", "02:00:00:00:00:02"}));
  EXPECT_EQ(driver().count(SIOCSIFFLAGS), 0u);
}

TEST_F(Scan, LaterPassesAddOnlyNewCells) {
  iface->fetches = {fetch::results({cell("02:00:00:00:00:01", "first")}),
                    fetch::results({cell("02:00:00:00:00:01", "renamed"),
                                    cell("02:00:00:00:00:03", "three")})};
  ASSERT_EQ(we_scan(ctx), 0);
  EXPECT_EQ(bssids(), (std::vector<std::string>{"02:00:00:00:00:01", "02:00:00:00:00:03",
                                                "02:00:00:00:00:02"}));
  network_entry *e = list_find_bssid("02:00:00:00:00:01");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string(e->essid, e->essid_len), "first");
}

TEST_F(Scan, InterfaceBroughtUpAndLeftUp) {
  const short others = IFF_BROADCAST | IFF_MULTICAST;
  iface->flags = others;
  ASSERT_EQ(we_scan(ctx), 0);
  EXPECT_EQ(iface->flags, others | IFF_UP);
  ASSERT_EQ(driver().count(SIOCSIFFLAGS), 1u);
  // Up before the snapshot and the first scan.
  const std::vector<Call> &log = driver().log();
  size_t set = 0, trigger = 0;
  for (size_t i = 0; i < log.size(); i++) {
    if (log[i].request == SIOCSIFFLAGS) set = i;
    if (log[i].request == SIOCSIWSCAN && trigger == 0) trigger = i;
  }
  EXPECT_LT(set, trigger);
}

TEST_F(Scan, InterfaceStaysUpAfterFailure) {
  iface->flags = IFF_BROADCAST;
  iface->failures = {Failure{SIOCSIWSCAN, 2, EPERM}};
  EXPECT_EQ(we_scan(ctx), -1);
  EXPECT_TRUE(iface->flags & IFF_UP);
}

// Only an interface that answers the name request (speaks Wireless
// Extensions) has its flags read or changed; any other is left as it was.
TEST_F(Scan, NameRequestBeforeTheFlags) {
  const short down = IFF_BROADCAST | IFF_MULTICAST;
  const struct {
    const char *name;
    bool wireless;
    short flags;
    std::vector<Failure> failures;
    int result;
    std::vector<unsigned long> first;  // the requests that open the operation
  } cases[] = {
      {"wireless, down", true, down, {}, 0, {SIOCGIWNAME, SIOCGIFFLAGS, SIOCSIFFLAGS}},
      {"wireless, up", true, down | IFF_UP, {}, 0, {SIOCGIWNAME, SIOCGIFFLAGS, SIOCGIWNAME}},
      {"not wireless, down", false, down, {}, -1, {SIOCGIWNAME, SIOCGIFFLAGS}},
      {"not wireless, up", false, down | IFF_UP, {}, -1, {SIOCGIWNAME, SIOCGIFFLAGS}},
      {"name request fails", true, down, {Failure{SIOCGIWNAME, 0, ENODEV}}, -1, {SIOCGIWNAME}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    driver().clear_log();
    list_clear();
    iface->wireless = c.wireless;
    iface->flags = c.flags;
    iface->failures = c.failures;
    EXPECT_EQ(we_scan(ctx), c.result);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    std::vector<unsigned long> first;
    for (const Call &call : driver().log())
      if (first.size() < c.first.size()) first.push_back(call.request);
    EXPECT_EQ(first, c.first);
    if (c.result != 0) {
      EXPECT_EQ(iface->flags, c.flags);
      EXPECT_EQ(driver().log().size(), c.first.size());
    }
  }
}

// Whichever errno the kernel gives for Wireless Extensions it lacks, the
// flags tell a missing interface from one without them; only the latter
// leaves the run to another backend.
TEST_F(Scan, WithoutWirelessExtensions) {
  const struct {
    int error;
    bool missing;
    const char *cause;
  } cases[] = {
      {ENOTTY, false, "no Wireless Extensions on wlan0 (try -b NL80211)"},
      {EOPNOTSUPP, false, "no Wireless Extensions on wlan0 (try -b NL80211)"},
      {ENOTTY, true, "wlan0: No such device"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cause);
    diag_reset();
    ctx->unserved = 0;
    iface->wireless = false;
    iface->wireless_error = c.error;
    iface->failures = {Failure{SIOCGIFFLAGS, c.missing ? 0 : -1, ENODEV}};
    EXPECT_EQ(we_scan(ctx), -1);
    EXPECT_STREQ(diag_failure(), c.cause);
    EXPECT_EQ(ctx->unserved, c.missing ? 0 : 1);
  }
  diag_reset();
}

// poll takes descriptors of any number; select cannot watch one at
// FD_SETSIZE or above.
TEST_F(Scan, SocketAboveFdSetsize) {
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 2 * FD_SETSIZE)
    GTEST_SKIP() << "the descriptor limit stays below " << 2 * FD_SETSIZE;
  rlimit more = saved;
  more.rlim_cur = 2 * FD_SETSIZE;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &more), 0);
  std::vector<int> held;
  for (int fd = dup(0); fd >= 0; fd = dup(0)) {
    held.push_back(fd);
    if (fd >= FD_SETSIZE + 8) break;
  }
  iface->fetches = {fetch::not_ready(2), fetch::results()};
  driver().wait_script() = {WaitStep{WaitStep::Kind::error, EINTR, 100000}};
  int r = we_scan(ctx);
  for (int fd : held) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_EQ(r, 0);
  EXPECT_EQ(bssids().size(), 2u);
  std::vector<Call> waits = driver().calls(fakewext::kPoll);
  ASSERT_FALSE(waits.empty());
  EXPECT_GE(waits[0].fd, FD_SETSIZE);
  // The interrupted first wait resumed with the time left.
  EXPECT_EQ(driver().waits_us()[1], kFirstWait - 100000);
}

TEST_F(Scan, LinkSnapshotMarksTheAssociatedCell) {
  const uint8_t ap[6] = {0x02, 0, 0, 0, 0, 0x02};
  memcpy(iface->ap, ap, 6);
  iface->bitrate = 144400000;
  ASSERT_EQ(we_scan(ctx), 0);
  EXPECT_STREQ(we_of(ctx)->ap_addr, "02:00:00:00:00:02");
  EXPECT_STREQ(we_of(ctx)->ap_rate, "144 Mbit/s");
  network_entry *e = list_find_bssid("02:00:00:00:00:02");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->current, 1u);
  EXPECT_STREQ(e->bitrate, "144 Mbit/s");
}

TEST_F(Scan, PassFailureStopsAtOnce) {
  iface->fetches = {fetch::results({cell("02:00:00:00:00:0a", "a")}),
                    fetch::results({cell("02:00:00:00:00:0b", "b")})};
  iface->failures = {Failure{SIOCSIWSCAN, 3, EPERM}};
  EXPECT_EQ(we_scan(ctx), -1);
  EXPECT_EQ(we_of(ctx)->fd, -1);
  EXPECT_EQ(driver().count(SIOCSIWSCAN), 3u);
  EXPECT_EQ(driver().waits_us(), (std::vector<int64_t>{kFirstWait, kPause, kFirstWait, kPause}));
  EXPECT_EQ(bssids(), (std::vector<std::string>{"02:00:00:00:00:0A", "02:00:00:00:00:0B"}));
}

TEST_F(Scan, FailuresBeforeTheFirstPass) {
  const struct {
    const char *name;
    short flags;
    Failure failure;
  } cases[] = {
      {"SIOCGIFFLAGS fails", IFF_UP, Failure{SIOCGIFFLAGS, 0, ENODEV}},
      {"SIOCSIFFLAGS fails", 0, Failure{SIOCSIFFLAGS, 0, EPERM}},
      {"range unreadable", IFF_UP, Failure{SIOCGIWRANGE, 0, EOPNOTSUPP}},
  };
  for (const auto &c : cases) {
    driver().clear_log();
    iface->flags = c.flags;
    iface->failures = {c.failure};
    EXPECT_EQ(we_scan(ctx), -1) << c.name;
    EXPECT_EQ(we_of(ctx)->fd, -1) << c.name;
    EXPECT_EQ(driver().count(SIOCSIWSCAN), 0u) << c.name;
    EXPECT_TRUE(driver().waits_us().empty()) << c.name;
  }
}

TEST_F(Scan, NoSocket) {
  // With no descriptor left, iw_sockets_open fails.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  int r = we_scan(ctx);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(r, -1);
  EXPECT_LT(we_of(ctx)->fd, 0);
  EXPECT_TRUE(driver().log().empty());
  we_of(ctx)->fd = -1;
}

TEST_F(Scan, VersionDecidesScanning) {
  const struct {
    uint8_t version;
    int result;
    size_t triggers;
  } cases[] = {{13, -1, 0}, {14, 0, 1}, {22, 0, 1}};
  for (const auto &c : cases) {
    driver().clear_log();
    list_clear();
    iface->we_version = c.version;
    EXPECT_EQ(scan_once(), c.result) << int(c.version);
    EXPECT_EQ(driver().count(SIOCSIWSCAN), c.triggers) << int(c.version);
  }
}

TEST_F(Scan, FetchOutcomes) {
  const struct {
    const char *name;
    std::vector<fakewext::FetchStep> steps;
    std::vector<Failure> failures;
    int result;
    size_t entries;
  } cases[] = {
      {"results", {}, {}, 0, 2},
      {"trigger refused", {}, {Failure{SIOCSIWSCAN, 0, EPERM}}, -1, 0},
      {"fetch fails", {fetch::error(EIO)}, {}, -1, 0},
      {"fetch fails after not ready", {fetch::not_ready(3), fetch::error(ENETDOWN)}, {}, -1, 0},
      {"zero length", {fetch::empty()}, {}, -1, 0},
      {"an ESSID over 32 bytes",
       {fetch::results({{ev::ap("02:00:00:00:00:05"), ev::essid(std::string(33, 'x'))}})},
       {},
       0,
       1},
  };
  for (const auto &c : cases) {
    list_clear();
    iface->fetches.assign(c.steps.begin(), c.steps.end());
    iface->failures = c.failures;
    EXPECT_EQ(scan_once(), c.result) << c.name;
    EXPECT_EQ(bssids().size(), c.entries) << c.name;
  }
}

TEST_F(Scan, NotReadyBudget) {
  const struct {
    int answers;
    int result;
  } cases[] = {{1, 0}, {147, 0}, {148, -1}};
  for (const auto &c : cases) {
    driver().clear_log();
    list_clear();
    iface->fetches = {fetch::not_ready(c.answers)};
    EXPECT_EQ(scan_once(), c.result) << c.answers;
    size_t retries = c.answers < 148 ? c.answers : 147;
    EXPECT_EQ(driver().waits_us(), concat({{kFirstWait}, repeat(kRetryWait, retries)}))
        << c.answers;
    EXPECT_EQ(driver().count(SIOCGIWSCAN), static_cast<size_t>(c.answers) + (c.result == 0))
        << c.answers;
  }
}

TEST_F(Scan, BufferGrowth) {
  // 64 cells of about 60 bytes need more than 4096 bytes.
  std::vector<Cell> many;
  for (int i = 0; i < 64; i++) {
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:00:01:%02x", i);
    many.push_back(cell(mac, "a network name"));
  }
  size_t needed = fakewext::encode_scan(many, 22).size();
  ASSERT_GT(needed, 4096u);
  ASSERT_LT(needed, 8192u);
  using L = std::vector<uint16_t>;
  const struct {
    const char *name;
    std::vector<fakewext::FetchStep> steps;
    bool hint;
    std::vector<Cell> cells;
    uint8_t version;
    int result;
    L lengths;
  } cases[] = {
      {"driver names the size", {fetch::too_big(10000)}, true, {}, 22, 0, L{4096, 10000}},
      {"driver names a smaller size",
       {fetch::too_big(4096), fetch::too_big(100)},
       true,
       {},
       22,
       0,
       L{4096, 8192, 16384}},
      {"no hint: doubling", {}, false, many, 22, 0, L{4096, 8192}},
      {"hint from the driver", {}, true, many, 22, 0, L{4096, static_cast<uint16_t>(needed)}},
      {"version 17 grows", {fetch::too_big(0)}, true, {}, 17, 0, L{4096, 8192}},
      {"version 16 refuses", {fetch::too_big(10000)}, true, {}, 16, -1, L{4096}},
      {"never enough",
       {fetch::too_big(0), fetch::too_big(0), fetch::too_big(0), fetch::too_big(0),
        fetch::too_big(0), fetch::too_big(0), fetch::too_big(0)},
       true,
       {},
       22,
       -1,
       L{4096, 8192, 16384, 32768, 65535}},
      {"largest size named",
       {fetch::too_big(65535), fetch::too_big(65535)},
       true,
       {},
       22,
       -1,
       L{4096, 65535}},
      {"cap reached by the named size",
       {fetch::too_big(40000), fetch::too_big(0)},
       true,
       {},
       22,
       0,
       L{4096, 40000, 65535}},
  };
  for (const auto &c : cases) {
    driver().clear_log();
    list_clear();
    iface->fetches.assign(c.steps.begin(), c.steps.end());
    iface->e2big_hint = c.hint;
    iface->we_version = c.version;
    if (!c.cells.empty()) iface->cells = c.cells;
    EXPECT_EQ(scan_once(), c.result) << c.name;
    EXPECT_EQ(fetch_lengths(driver()), c.lengths) << c.name;
    // Growing never waits.
    EXPECT_EQ(driver().waits_us(), std::vector<int64_t>{kFirstWait}) << c.name;
  }
}

TEST_F(Scan, InterruptedAndReadableWaitsResume) {
  const struct {
    const char *name;
    std::vector<WaitStep> waits;
    int result;
    std::vector<int64_t> timeouts;
  } cases[] = {
      {"interrupted",
       {WaitStep{WaitStep::Kind::error, EINTR, 100000}},
       0,
       {kFirstWait, kFirstWait - 100000}},
      {"try again", {WaitStep{WaitStep::Kind::error, EAGAIN, 0}}, 0, {kFirstWait, kFirstWait}},
      {"readable",
       {WaitStep{WaitStep::Kind::readable, 0, 50000}, WaitStep{WaitStep::Kind::readable, 0, 50000}},
       0,
       {kFirstWait, kFirstWait - 50000, kFirstWait - 100000}},
      {"bad descriptor", {WaitStep{WaitStep::Kind::error, EBADF, 0}}, -1, {kFirstWait}},
  };
  for (const auto &c : cases) {
    driver().clear_log();
    list_clear();
    driver().wait_script().assign(c.waits.begin(), c.waits.end());
    EXPECT_EQ(scan_once(), c.result) << c.name;
    EXPECT_EQ(driver().waits_us(), c.timeouts) << c.name;
    EXPECT_EQ(driver().count(SIOCGIWSCAN), c.result == 0 ? 1u : 0u) << c.name;
  }
}

// EBUSY on the scan request: the radio is scanning already, and the pass
// takes that scan's results the way it takes those of its own scan. Any
// other refusal fails the pass before it waits.
TEST_F(Scan, BusyDriverJoinsTheRunningScan) {
  using L = std::vector<uint16_t>;
  const struct {
    const char *name;
    int error;
    std::vector<fakewext::FetchStep> steps;
    int result;
    size_t entries;
    std::vector<int64_t> waits;
    L lengths;
  } cases[] = {
      {"busy, results after three not-ready answers",
       EBUSY,
       {fetch::not_ready(3)},
       0,
       2,
       concat({{kFirstWait}, repeat(kRetryWait, 3)}),
       L(4, 4096)},
      {"busy, results larger than the buffer",
       EBUSY,
       {fetch::not_ready(1), fetch::too_big(10000)},
       0,
       2,
       {kFirstWait, kRetryWait},
       L{4096, 4096, 10000}},
      {"busy, the running scan never ends",
       EBUSY,
       {fetch::not_ready(1000)},
       -1,
       0,
       concat({{kFirstWait}, repeat(kRetryWait, 147)}),
       L(148, 4096)},
      {"busy, the fetch fails", EBUSY, {fetch::error(EIO)}, -1, 0, {kFirstWait}, L{4096}},
      {"not permitted", EPERM, {fetch::not_ready(3)}, -1, 0, {}, L{}},
      {"invalid request", EINVAL, {}, -1, 0, {}, L{}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    driver().clear_log();
    list_clear();
    const int64_t start = driver().now_us();
    iface->fetches.assign(c.steps.begin(), c.steps.end());
    iface->failures = {Failure{SIOCSIWSCAN, 0, c.error}};
    EXPECT_EQ(scan_once(), c.result);
    EXPECT_EQ(bssids().size(), c.entries);
    EXPECT_EQ(driver().waits_us(), c.waits);
    EXPECT_EQ(fetch_lengths(driver()), c.lengths);
    // A scan that never ends fails within the budget of a scan of its own.
    EXPECT_LE(driver().now_us() - start, 15000000);
  }
}

TEST_F(Scan, FivePassesJoinRunningScans) {
  iface->failures = {Failure{SIOCSIWSCAN, 0, EBUSY}};
  for (int pass = 0; pass < 5; pass++) {
    iface->fetches.push_back(fetch::not_ready(2));
    iface->fetches.push_back(fetch::results());
  }
  ASSERT_EQ(we_scan(ctx), 0);
  std::vector<Call> triggers = driver().calls(SIOCSIWSCAN);
  ASSERT_EQ(triggers.size(), 5u);
  for (const Call &c : triggers) EXPECT_EQ(c.error, EBUSY);
  EXPECT_EQ(driver().count(SIOCGIWSCAN), 15u);
  EXPECT_EQ(bssids(), (std::vector<std::string>{"02:00:00:00:00:01", "02:00:00:00:00:02"}));
}

TEST_F(Scan, PlainRequest) {
  ASSERT_EQ(scan_once(), 0);
  std::vector<Call> triggers = driver().calls(SIOCSIWSCAN);
  ASSERT_EQ(triggers.size(), 1u);
  EXPECT_EQ(triggers[0].length, 316u);
  EXPECT_EQ(triggers[0].flags, IW_SCAN_ALL_ESSID);
  EXPECT_EQ(triggers[0].payload, fakewext::Bytes(316, 0));
  EXPECT_EQ(we_of(ctx)->directed, 0u);
}

TEST_F(Scan, DirectedRequest) {
  iw_freq freq = fakewext::freq_of_mhz(5745);
  freq.i = 3;
  freq.flags = IW_FREQ_FIXED;
  snprintf(we_of(ctx)->ap_addr, sizeof we_of(ctx)->ap_addr, "02:00:00:00:00:02");
  ASSERT_EQ(scan_once(1, "homeXtrailing", 5, &freq), 0);
  std::vector<Call> triggers = driver().calls(SIOCSIWSCAN);
  ASSERT_EQ(triggers.size(), 1u);
  EXPECT_EQ(triggers[0].length, 316u);
  EXPECT_EQ(triggers[0].flags, IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ);
  iw_scan_req expected;
  memset(&expected, 0, sizeof expected);
  expected.essid_len = 5;
  memcpy(expected.essid, "homeX", 5);
  expected.num_channels = 1;
  expected.channel_list[0] = freq;
  const auto *bytes = reinterpret_cast<const uint8_t *>(&expected);
  EXPECT_EQ(triggers[0].payload, fakewext::Bytes(bytes, bytes + sizeof expected));
  EXPECT_EQ(we_of(ctx)->directed, 1u);
  EXPECT_EQ(bssids(), std::vector<std::string>{"02:00:00:00:00:02"});
}

TEST_F(Scan, DirectedLengths) {
  iw_freq freq = fakewext::freq_of_mhz(2412);
  const std::string b32(32, 'e');
  const struct {
    const char *name;
    int len;
    int result;
    size_t triggers;
    uint8_t sent;
  } cases[] = {
      {"32 bytes", 32, 0, 1, 32},
      {"low 8 bits of the length", 256 + 4, 0, 1, 4},
      {"above 32 refused", 33, -1, 0, 0},
  };
  for (const auto &c : cases) {
    driver().clear_log();
    EXPECT_EQ(scan_once(1, b32.data(), c.len, &freq), c.result) << c.name;
    std::vector<Call> triggers = driver().calls(SIOCSIWSCAN);
    ASSERT_EQ(triggers.size(), c.triggers) << c.name;
    if (c.triggers == 1) {
      EXPECT_EQ(triggers[0].payload.at(1), c.sent) << c.name;
    }
  }
}

}  // namespace
