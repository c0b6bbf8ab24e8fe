// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/we/test_we.h"
#include "backend/we/we.h"
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
using Waits = std::vector<int64_t>;
using Lengths = std::vector<uint16_t>;
using Names = std::vector<std::string>;

constexpr long kFirstWait = 250000;
constexpr long kRetryWait = 100000;
constexpr long kPause = 2000000;

Cell cell(const char *mac, const char *essid) {
  return {ev::ap(mac), ev::essid(essid), ev::freq_mhz(2437), ev::mode(IW_MODE_MASTER),
          ev::encode_off()};
}

Names bssids() {
  Names out;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) out.emplace_back(e->bssid);
  return out;
}

Lengths fetch_lengths(const fakewext::Driver &d) {
  Lengths out;
  for (const Call &c : d.calls(SIOCGIWSCAN)) out.push_back(c.length);
  return out;
}

// The first wait, then n retries: the select timeouts of a pass.
Waits retries(size_t n) {
  Waits out(n + 1, kRetryWait);
  out[0] = kFirstWait;
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
  EXPECT_EQ(driver().waits_us(), (Waits{kFirstWait, kPause, kFirstWait, kPause, kFirstWait, kPause,
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
  EXPECT_EQ(bssids(), (Names{"02:00:00:00:00:01", "02:00:00:00:00:02"}));
  EXPECT_EQ(driver().count(SIOCSIFFLAGS), 0u);
}

TEST_F(Scan, LaterPassesAddOnlyNewCells) {
  iface->fetches = {fetch::results({cell("02:00:00:00:00:01", "first")}),
                    fetch::results({cell("02:00:00:00:00:01", "renamed"),
                                    cell("02:00:00:00:00:03", "three")})};
  ASSERT_EQ(we_scan(ctx), 0);
  EXPECT_EQ(bssids(), (Names{"02:00:00:00:00:01", "02:00:00:00:00:03", "02:00:00:00:00:02"}));
  network_entry *e = list_find_bssid("02:00:00:00:00:01");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string(e->essid, e->essid_len), "first");
}

// Only an interface that answers the name request (speaks Wireless
// Extensions) has its flags read or changed; any other is left as it was.
// One that is down is brought up before the first scan, and stays up even
// when a later pass fails.
TEST_F(Scan, NameRequestBeforeTheFlags) {
  const short down = IFF_BROADCAST | IFF_MULTICAST;
  const struct {
    const char *name;
    bool wireless;
    short flags;
    Failure failure;
    int result;
    short flags_after;
    std::vector<unsigned long> first;  // the requests that open the operation
    bool only;                         // and no other
  } cases[] = {
      // First: the driver counts the scan requests from the session's start.
      {"brought up, second pass refused",
       true,
       IFF_BROADCAST,
       {SIOCSIWSCAN, 2, EPERM},
       -1,
       IFF_BROADCAST | IFF_UP,
       {SIOCGIWNAME, SIOCGIFFLAGS, SIOCSIFFLAGS},
       false},
      {"wireless, down",
       true,
       down,
       {},
       0,
       down | IFF_UP,
       {SIOCGIWNAME, SIOCGIFFLAGS, SIOCSIFFLAGS},
       false},
      {"wireless, up",
       true,
       down | IFF_UP,
       {},
       0,
       down | IFF_UP,
       {SIOCGIWNAME, SIOCGIFFLAGS, SIOCGIWNAME},
       false},
      {"not wireless, down", false, down, {}, -1, down, {SIOCGIWNAME, SIOCGIFFLAGS}, true},
      {"not wireless, up",
       false,
       down | IFF_UP,
       {},
       -1,
       down | IFF_UP,
       {SIOCGIWNAME, SIOCGIFFLAGS},
       true},
      {"name request fails", true, down, {SIOCGIWNAME, 0, ENODEV}, -1, down, {SIOCGIWNAME}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    driver().clear_log();
    list_clear();
    iface->wireless = c.wireless;
    iface->flags = c.flags;
    iface->failures = {};
    if (c.failure.request != 0) iface->failures = {c.failure};
    EXPECT_EQ(we_scan(ctx), c.result);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    EXPECT_EQ(iface->flags, c.flags_after);
    EXPECT_EQ(driver().count(SIOCSIFFLAGS), c.flags_after != c.flags ? 1u : 0u);
    std::vector<unsigned long> first;
    for (const Call &call : driver().log())
      if (first.size() < c.first.size()) first.push_back(call.request);
    EXPECT_EQ(first, c.first);
    if (c.only) {
      EXPECT_EQ(driver().log().size(), c.first.size());
    }
  }
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
  EXPECT_EQ(driver().waits_us(), (Waits{kFirstWait, kPause, kFirstWait, kPause}));
  EXPECT_EQ(bssids(), (Names{"02:00:00:00:00:0A", "02:00:00:00:00:0B"}));
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
    SCOPED_TRACE(c.name);
    driver().clear_log();
    iface->flags = c.flags;
    iface->failures = {c.failure};
    EXPECT_EQ(we_scan(ctx), -1);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    EXPECT_EQ(driver().count(SIOCSIWSCAN), 0u);
    EXPECT_TRUE(driver().waits_us().empty());
  }
}

TEST_F(Scan, NoSocket) {
  EXPECT_EQ(we_test::without_descriptors([&] { return we_scan(ctx); }), -1);
  EXPECT_LT(we_of(ctx)->fd, 0);
  EXPECT_TRUE(driver().log().empty());
  we_of(ctx)->fd = -1;
}

// One pass against the driver's answers: the version, the scan request's
// refusal, the fetches, the waits and the buffer size the driver asks for.
// EBUSY on the scan request means the radio is scanning already: the pass
// takes that scan's results the way it takes those of its own scan; any
// other refusal fails the pass before it waits. Growing never waits, and a
// scan that never ends fails within the budget of a scan of its own.
TEST_F(Scan, OnePass) {
  // 64 cells of about 60 bytes need more than 4096 bytes.
  std::vector<Cell> many;
  for (int i = 0; i < 64; i++) {
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:00:01:%02x", i);
    many.push_back(cell(mac, "a network name"));
  }
  const auto needed = static_cast<uint16_t>(fakewext::encode_scan(many, 22).size());
  ASSERT_GT(needed, 4096u);
  ASSERT_LT(needed, 8192u);
  const auto too_big = [](int n, uint16_t size) {
    return std::vector<fakewext::FetchStep>(static_cast<size_t>(n), fetch::too_big(size));
  };
  const WaitStep interrupted{WaitStep::Kind::error, EINTR, 100000};
  const WaitStep readable{WaitStep::Kind::readable, 0, 50000};
  struct Pass {
    const char *name;
    uint8_t version = 22;
    int refusal = 0;  // the scan request's errno
    std::vector<fakewext::FetchStep> fetches = {};
    std::vector<WaitStep> wait_script = {};
    bool hint = true;
    std::vector<Cell> cells = {};  // none: the fixture's two
    int result = 0;
    size_t entries = 2;
    Waits waits = {kFirstWait};
    Lengths lengths = {4096};
    size_t triggers = 1;
  };
  const Pass cases[] = {
      {.name = "version 13 cannot scan",
       .version = 13,
       .result = -1,
       .entries = 0,
       .waits = {},
       .lengths = {},
       .triggers = 0},
      {.name = "version 14", .version = 14},
      {.name = "version 22"},
      {.name = "fetch fails", .fetches = {fetch::error(EIO)}, .result = -1, .entries = 0},
      {.name = "fetch fails after not ready",
       .fetches = {fetch::not_ready(3), fetch::error(ENETDOWN)},
       .result = -1,
       .entries = 0,
       .waits = retries(3),
       .lengths = Lengths(4, 4096)},
      {.name = "zero length", .fetches = {fetch::empty()}, .result = -1, .entries = 0},
      {.name = "an ESSID over 32 bytes",
       .fetches = {fetch::results(
           {{ev::ap("02:00:00:00:00:05"), ev::essid(std::string(33, 'x'))}})},
       .entries = 1},
      {.name = "one not-ready answer",
       .fetches = {fetch::not_ready(1)},
       .waits = retries(1),
       .lengths = Lengths(2, 4096)},
      {.name = "147 not-ready answers",
       .fetches = {fetch::not_ready(147)},
       .waits = retries(147),
       .lengths = Lengths(148, 4096)},
      {.name = "148 not-ready answers",
       .fetches = {fetch::not_ready(148)},
       .result = -1,
       .entries = 0,
       .waits = retries(147),
       .lengths = Lengths(148, 4096)},
      {.name = "wait interrupted",
       .wait_script = {interrupted},
       .waits = {kFirstWait, kFirstWait - 100000}},
      {.name = "wait: try again",
       .wait_script = {{WaitStep::Kind::error, EAGAIN, 0}},
       .waits = {kFirstWait, kFirstWait}},
      {.name = "readable twice",
       .wait_script = {readable, readable},
       .waits = {kFirstWait, kFirstWait - 50000, kFirstWait - 100000}},
      {.name = "wait: bad descriptor",
       .wait_script = {{WaitStep::Kind::error, EBADF, 0}},
       .result = -1,
       .entries = 0,
       .lengths = {}},
      {.name = "busy, results after three not-ready answers",
       .refusal = EBUSY,
       .fetches = {fetch::not_ready(3)},
       .waits = retries(3),
       .lengths = Lengths(4, 4096)},
      {.name = "busy, results larger than the buffer",
       .refusal = EBUSY,
       .fetches = {fetch::not_ready(1), fetch::too_big(10000)},
       .waits = retries(1),
       .lengths = {4096, 4096, 10000}},
      {.name = "busy, the running scan never ends",
       .refusal = EBUSY,
       .fetches = {fetch::not_ready(1000)},
       .result = -1,
       .entries = 0,
       .waits = retries(147),
       .lengths = Lengths(148, 4096)},
      {.name = "busy, the fetch fails",
       .refusal = EBUSY,
       .fetches = {fetch::error(EIO)},
       .result = -1,
       .entries = 0},
      {.name = "not permitted",
       .refusal = EPERM,
       .fetches = {fetch::not_ready(3)},
       .result = -1,
       .entries = 0,
       .waits = {},
       .lengths = {}},
      {.name = "invalid request",
       .refusal = EINVAL,
       .result = -1,
       .entries = 0,
       .waits = {},
       .lengths = {}},
      {.name = "driver names the size", .fetches = too_big(1, 10000), .lengths = {4096, 10000}},
      {.name = "driver names a smaller size",
       .fetches = {fetch::too_big(4096), fetch::too_big(100)},
       .lengths = {4096, 8192, 16384}},
      {.name = "no hint: doubling",
       .hint = false,
       .cells = many,
       .entries = 64,
       .lengths = {4096, 8192}},
      {.name = "hint from the driver", .cells = many, .entries = 64, .lengths = {4096, needed}},
      {.name = "version 17 grows",
       .version = 17,
       .fetches = too_big(1, 0),
       .lengths = {4096, 8192}},
      {.name = "version 16 refuses",
       .version = 16,
       .fetches = too_big(1, 10000),
       .result = -1,
       .entries = 0},
      {.name = "never enough",
       .fetches = too_big(7, 0),
       .result = -1,
       .entries = 0,
       .lengths = {4096, 8192, 16384, 32768, 65535}},
      {.name = "largest size named",
       .fetches = too_big(2, 65535),
       .result = -1,
       .entries = 0,
       .lengths = {4096, 65535}},
      {.name = "cap reached by the named size",
       .fetches = {fetch::too_big(40000), fetch::too_big(0)},
       .lengths = {4096, 40000, 65535}},
  };
  const std::vector<Cell> two = iface->cells;
  for (const Pass &c : cases) {
    SCOPED_TRACE(c.name);
    driver().clear_log();
    list_clear();
    const int64_t start = driver().now_us();
    iface->we_version = c.version;
    iface->failures = {};
    if (c.refusal != 0) iface->failures = {Failure{SIOCSIWSCAN, 0, c.refusal}};
    iface->fetches.assign(c.fetches.begin(), c.fetches.end());
    driver().wait_script().assign(c.wait_script.begin(), c.wait_script.end());
    iface->e2big_hint = c.hint;
    iface->cells = c.cells.empty() ? two : c.cells;
    EXPECT_EQ(scan_once(), c.result);
    EXPECT_EQ(bssids().size(), c.entries);
    EXPECT_EQ(driver().waits_us(), c.waits);
    EXPECT_EQ(fetch_lengths(driver()), c.lengths);
    EXPECT_EQ(driver().count(SIOCSIWSCAN), c.triggers);
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
  EXPECT_EQ(bssids(), (Names{"02:00:00:00:00:01", "02:00:00:00:00:02"}));
}

// The scan request as the driver receives it: a plain one asks for every
// ESSID; a directed one carries the ESSID (the low 8 bits of its length, at
// most 32) and the frequency, and takes only the associated cell.
TEST_F(Scan, Requests) {
  iw_freq freq = fakewext::freq_of_mhz(5745);
  freq.i = 3;
  freq.flags = IW_FREQ_FIXED;
  const std::string b32(32, 'e');
  const Names both = {"02:00:00:00:00:01", "02:00:00:00:00:02"};
  const Names ap = {"02:00:00:00:00:02"};
  const struct {
    const char *name;
    int directed;
    const char *essid;
    int len;
    int result;
    fakewext::Bytes payload;  // empty: no request
    Names listed;
  } cases[] = {
      {"plain", 0, nullptr, 0, 0, fakewext::Bytes(316, 0), both},
      {"directed", 1, "homeXtrailing", 5, 0, we_test::directed_request("homeX", 5, freq), ap},
      {"32 bytes", 1, b32.c_str(), 32, 0, we_test::directed_request(b32.c_str(), 32, freq), ap},
      {"low 8 bits of the length", 1, b32.c_str(), 256 + 4, 0,
       we_test::directed_request(b32.c_str(), 4, freq), ap},
      {"above 32 refused", 1, b32.c_str(), 33, -1, {}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    driver().clear_log();
    list_clear();
    snprintf(we_of(ctx)->ap_addr, sizeof we_of(ctx)->ap_addr, "02:00:00:00:00:02");
    EXPECT_EQ(scan_once(c.directed, c.essid, c.len, c.directed ? &freq : nullptr), c.result);
    EXPECT_EQ(bssids(), c.listed);
    std::vector<Call> triggers = driver().calls(SIOCSIWSCAN);
    ASSERT_EQ(triggers.size(), c.payload.empty() ? 0u : 1u);
    if (triggers.empty()) continue;
    EXPECT_EQ(triggers[0].length, 316u);
    EXPECT_EQ(triggers[0].flags,
              c.directed ? IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ : IW_SCAN_ALL_ESSID);
    EXPECT_EQ(triggers[0].payload, c.payload);
    EXPECT_EQ(we_of(ctx)->directed, static_cast<uint32_t>(c.directed));
  }
}

}  // namespace
