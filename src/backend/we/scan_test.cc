// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/flow.h"
#include "backend/we/test_we.h"
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
using fetch::not_ready;
using fetch::too_big;
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

// n fetches into the first buffer size.
Lengths at4k(size_t n) { return Lengths(n, 4096); }

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
    ctx->why = &why;
    descriptors = fakewext::open_descriptors();
  }
  void TearDown() override {
    // Every scan, failed or not, closed the socket it opened.
    EXPECT_EQ(fakewext::open_descriptors(), descriptors);
    we_destroy(ctx);
    list_clear();
  }
  fakewext::Driver &driver() { return session.driver(); }
  // One scan pass on a socket of the test's own, as the callers hold it;
  // directed at the target set in ctx and the associated ...:02.
  int scan_once(bool directed = false, const scan_request &req = {}) {
    we_of(ctx)->fd = iw_sockets_open();
    EXPECT_GE(we_of(ctx)->fd, 0);
    int r =
        backend_pass(ctx, we_pass, {"02:00:00:00:00:02", "", directed}, directed ? nullptr : &req);
    // The pass leaves the socket open.
    EXPECT_NE(fcntl(we_of(ctx)->fd, F_GETFD), -1);
    close(we_of(ctx)->fd);
    we_of(ctx)->fd = -1;
    return r;
  }

  // Runs one pass as set up and checks its outcome.
  void expect_pass(int listed, const Waits &waits, const Lengths &lengths, size_t triggers) {
    driver().clear_log();
    list_clear();
    const int64_t start = driver().now_us();
    EXPECT_EQ(scan_once(), listed < 0 ? -1 : 0);
    EXPECT_EQ(bssids().size(), listed < 0 ? 0u : static_cast<size_t>(listed));
    EXPECT_EQ(driver().waits_us(), waits);
    EXPECT_EQ(fetch_lengths(driver()), lengths);
    EXPECT_EQ(driver().count(SIOCSIWSCAN), triggers);
    EXPECT_LE(driver().now_us() - start, 15000000);
  }

  fakewext::Session session;
  Interface *iface = nullptr;
  backend_ctx *ctx = nullptr;
  cause why;
  int descriptors = 0;
};

TEST_F(Scan, FivePassesTwoSecondsApart) {
  ASSERT_EQ(we_ops.scan(ctx, {}, &why), 0);
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

// Only an interface that answers the name request (speaks Wireless
// Extensions) has its flags read or changed; any other is left as it was.
// One that is down is brought up before the first scan, and stays up even
// when a later pass fails.
TEST_F(Scan, NameRequestBeforeTheFlags) {
  const short down = IFF_BROADCAST | IFF_MULTICAST, up = down | IFF_UP;
  const unsigned long kName = SIOCGIWNAME, kGet = SIOCGIFFLAGS, kSet = SIOCSIFFLAGS;
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
      {"pass 2 refused", true, down, {SIOCSIWSCAN, 2, EPERM}, -1, up, {kName, kGet, kSet}, false},
      {"wireless, down", true, down, {}, 0, up, {kName, kGet, kSet}, false},
      {"wireless, up", true, up, {}, 0, up, {kName, kGet, kName}, false},
      {"not wireless, down", false, down, {}, kUnserved, down, {kName, kGet}, true},
      {"not wireless, up", false, up, {}, kUnserved, up, {kName, kGet}, true},
      {"name request fails", true, down, {kName, 0, ENODEV}, -1, down, {kName}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    driver().clear_log();
    list_clear();
    iface->wireless = c.wireless;
    iface->flags = c.flags;
    iface->failures = {};
    if (c.failure.request != 0) iface->failures = {c.failure};
    EXPECT_EQ(we_ops.scan(ctx, {}, &why), c.result);
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
  int r = we_ops.scan(ctx, {}, &why);
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

TEST_F(Scan, FailuresBeforeTheFirstPass) {
  const struct {
    short flags;
    Failure failure;
  } cases[] = {
      {IFF_UP, Failure{SIOCGIFFLAGS, 0, ENODEV}},
      {0, Failure{SIOCSIFFLAGS, 0, EPERM}},
      {IFF_UP, Failure{SIOCGIWRANGE, 0, EOPNOTSUPP}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(fakewext::request_name(c.failure.request));
    driver().clear_log();
    iface->flags = c.flags;
    iface->failures = {c.failure};
    EXPECT_EQ(we_ops.scan(ctx, {}, &why), -1);
    EXPECT_EQ(we_of(ctx)->fd, -1);
    EXPECT_EQ(driver().count(SIOCSIWSCAN), 0u);
    EXPECT_TRUE(driver().waits_us().empty());
  }
}

TEST_F(Scan, NoSocket) {
  EXPECT_EQ(we_test::without_descriptors([&] { return we_ops.scan(ctx, {}, &why); }), -1);
  EXPECT_LT(we_of(ctx)->fd, 0);
  EXPECT_TRUE(driver().log().empty());
  we_of(ctx)->fd = -1;
}

// One pass against the driver's answers: the scan request's refusal, the
// fetches and the waits. EBUSY on the scan request means the radio is
// scanning already: the pass takes that scan's results the way it takes those
// of its own scan; any other refusal fails the pass before it waits. A scan
// that never ends fails within the budget of a scan of its own.
TEST_F(Scan, FetchesAndWaits) {
  const fakewext::FetchStep enetdown = fetch::error(ENETDOWN), e2big = too_big(10000);
  const WaitStep interrupted{WaitStep::Kind::error, EINTR, 100000};
  const WaitStep again{WaitStep::Kind::error, EAGAIN, 0};
  const WaitStep bad_fd{WaitStep::Kind::error, EBADF, 0};
  const WaitStep readable{WaitStep::Kind::readable, 0, 50000};
  const Waits twice_readable = {kFirstWait, kFirstWait - 50000, kFirstWait - 100000};
  const auto over32 =
      fetch::results({{ev::ap("02:00:00:00:00:05"), ev::essid(std::string(33, 'x'))}});
  const struct {
    const char *name;
    int refusal;  // the scan request's errno
    std::vector<fakewext::FetchStep> fetches;
    std::vector<WaitStep> wait_script;
    int listed;  // entries listed, or -1: the pass fails
    Waits waits;
    Lengths lengths;
  } cases[] = {
      {"results", 0, {}, {}, 2, retries(0), at4k(1)},
      {"fetch fails", 0, {fetch::error(EIO)}, {}, -1, retries(0), at4k(1)},
      {"fails after not ready", 0, {not_ready(3), enetdown}, {}, -1, retries(3), at4k(4)},
      {"zero length", 0, {fetch::empty()}, {}, -1, retries(0), at4k(1)},
      {"an ESSID over 32 bytes", 0, {over32}, {}, 1, retries(0), at4k(1)},
      {"1 not-ready answer", 0, {not_ready(1)}, {}, 2, retries(1), at4k(2)},
      {"147 not-ready answers", 0, {not_ready(147)}, {}, 2, retries(147), at4k(148)},
      {"148 not-ready answers", 0, {not_ready(148)}, {}, -1, retries(147), at4k(148)},
      {"wait interrupted", 0, {}, {interrupted}, 2, {kFirstWait, kFirstWait - 100000}, at4k(1)},
      {"wait: try again", 0, {}, {again}, 2, {kFirstWait, kFirstWait}, at4k(1)},
      {"readable twice", 0, {}, {readable, readable}, 2, twice_readable, at4k(1)},
      {"wait: bad descriptor", 0, {}, {bad_fd}, -1, retries(0), {}},
      {"busy, 3 not-ready answers", EBUSY, {not_ready(3)}, {}, 2, retries(3), at4k(4)},
      {"busy, too big", EBUSY, {not_ready(1), e2big}, {}, 2, retries(1), {4096, 4096, 10000}},
      {"busy, never ends", EBUSY, {not_ready(1000)}, {}, -1, retries(147), at4k(148)},
      {"busy, the fetch fails", EBUSY, {fetch::error(EIO)}, {}, -1, retries(0), at4k(1)},
      {"not permitted", EPERM, {not_ready(3)}, {}, -1, {}, {}},
      {"invalid request", EINVAL, {}, {}, -1, {}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    iface->failures = {};
    if (c.refusal != 0) iface->failures = {Failure{SIOCSIWSCAN, 0, c.refusal}};
    iface->fetches.assign(c.fetches.begin(), c.fetches.end());
    driver().wait_script().assign(c.wait_script.begin(), c.wait_script.end());
    expect_pass(c.listed, c.waits, c.lengths, 1);
  }
}

// The buffer grows as the driver asks, up to the largest an ioctl takes;
// growing never waits. Scanning needs version 14, growing version 17.
TEST_F(Scan, VersionAndBufferGrowth) {
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
  const std::vector<fakewext::FetchStep> seven(7, too_big(0));
  const struct {
    const char *name;
    uint8_t version;
    bool hint;
    bool many;  // the 64 cells, else the fixture's two
    std::vector<fakewext::FetchStep> fetches;
    int listed;  // entries listed, or -1: the pass fails
    Lengths lengths;
  } cases[] = {
      {"version 13 cannot scan", 13, true, false, {}, -1, {}},
      {"version 14 scans", 14, true, false, {}, 2, {4096}},
      {"driver names the size", 22, true, false, {too_big(10000)}, 2, {4096, 10000}},
      {"a smaller size", 22, true, false, {too_big(4096), too_big(100)}, 2, {4096, 8192, 16384}},
      {"no hint: doubling", 22, false, true, {}, 64, {4096, 8192}},
      {"hint from the driver", 22, true, true, {}, 64, {4096, needed}},
      {"version 17 grows", 17, true, false, {too_big(0)}, 2, {4096, 8192}},
      {"version 16 refuses", 16, true, false, {too_big(10000)}, -1, {4096}},
      {"never enough", 22, true, false, seven, -1, {4096, 8192, 16384, 32768, 65535}},
      {"largest size named", 22, true, false, {too_big(65535), too_big(65535)}, -1, {4096, 65535}},
      {"cap reached", 22, true, false, {too_big(40000), too_big(0)}, 2, {4096, 40000, 65535}},
  };
  const std::vector<Cell> two = iface->cells;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    iface->we_version = c.version;
    iface->e2big_hint = c.hint;
    iface->cells = c.many ? many : two;
    iface->fetches.assign(c.fetches.begin(), c.fetches.end());
    const bool asked = !c.lengths.empty();
    expect_pass(c.listed, asked ? Waits{kFirstWait} : Waits{}, c.lengths, asked ? 1 : 0);
  }
}

// The scan request as the driver receives it: a plain one asks for every
// ESSID; a directed one carries the target's ESSID and frequency; a
// passive one on some channels says so and lists them as cfg80211 does its
// own (MHz, exponent 6); the kernel's list is fetched without one.
TEST_F(Scan, Requests) {
  iw_freq freq = fakewext::freq_of_mhz(5745);
  freq.i = 3;
  freq.flags = IW_FREQ_FIXED;
  const std::string b32(32, 'e');
  const Names both = {"02:00:00:00:00:01", "02:00:00:00:00:02"};
  const Names ap = {"02:00:00:00:00:02"};
  const scan_request passive{.passive = true, .freq_count = 2, .freqs = {2412, 5180}};
  iw_scan_req listening{};
  listening.scan_type = IW_SCAN_TYPE_PASSIVE;
  listening.num_channels = 2;
  listening.channel_list[0] = {2412, 6, 0, 0};
  listening.channel_list[1] = {5180, 6, 0, 0};
  fakewext::Bytes listening_bytes(sizeof listening);
  memcpy(listening_bytes.data(), &listening, sizeof listening);
  const struct {
    const char *name;
    bool directed;
    scan_request req;
    const char *essid;
    uint32_t len;
    uint16_t flags;
    fakewext::Bytes payload;  // none: no request
    Names listed;
  } cases[] = {
      {"plain", false, {}, "", 0, IW_SCAN_ALL_ESSID, fakewext::Bytes(316, 0), both},
      {"directed",
       true,
       {},
       "homeXtrailing",
       5,
       IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ,
       we_test::directed_request("homeX", 5, freq),
       ap},
      {"32 bytes",
       true,
       {},
       b32.c_str(),
       32,
       IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ,
       we_test::directed_request(b32.c_str(), 32, freq),
       ap},
      {"passive on two channels", false, passive, "", 0, IW_SCAN_ALL_ESSID | IW_SCAN_THIS_FREQ,
       listening_bytes, both},
      {"the kernel's list", false, {.last = true}, "", 0, 0, {}, both},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    driver().clear_log();
    list_clear();
    memcpy(we_of(ctx)->essid, c.essid, c.len);
    we_of(ctx)->essid_len = c.len;
    we_of(ctx)->freq = freq;
    EXPECT_EQ(scan_once(c.directed, c.req), 0);
    EXPECT_EQ(bssids(), c.listed);
    EXPECT_EQ(driver().count(SIOCGIWSCAN), 1u);
    std::vector<Call> triggers = driver().calls(SIOCSIWSCAN);
    ASSERT_EQ(triggers.size(), c.payload.empty() ? 0u : 1u);
    // What the driver holds is fetched without a wait.
    EXPECT_EQ(driver().waits_us(), Waits{c.payload.empty() ? 0 : kFirstWait});
    if (triggers.empty()) continue;
    EXPECT_EQ(triggers[0].length, 316u);
    EXPECT_EQ(triggers[0].flags, c.flags);
    EXPECT_EQ(triggers[0].payload, c.payload);
  }
}

// A limited refresh over the range's frequencies: a band's own are scanned;
// one the range lacks is refused with nothing asked of the driver but the
// range, the interface left down.
TEST_F(Scan, LimitedToTheRangesFrequencies) {
  iface->channels_mhz = {2412, 2437, 5180};
  iface->flags = 0;
  EXPECT_EQ(we_ops.scan(ctx, {.freq_count = 1, .freqs = {5200}}, &why), kRefused);
  EXPECT_EQ(driver().count(SIOCSIWSCAN), 0u);
  EXPECT_EQ(driver().count(SIOCSIFFLAGS), 0u);
  ASSERT_EQ(we_ops.scan(ctx, {.passes = 1, .bands = 1}, &why), 0);  // 2.4 GHz
  std::vector<Call> triggers = driver().calls(SIOCSIWSCAN);
  ASSERT_EQ(triggers.size(), 1u);
  iw_scan_req sent;
  ASSERT_EQ(triggers[0].payload.size(), sizeof sent);
  memcpy(&sent, triggers[0].payload.data(), sizeof sent);
  ASSERT_EQ(sent.num_channels, 2);
  EXPECT_EQ(iw_freq2float(&sent.channel_list[0]), 2412e6);
  EXPECT_EQ(iw_freq2float(&sent.channel_list[1]), 2437e6);
  EXPECT_EQ(sent.scan_type, IW_SCAN_TYPE_ACTIVE);
}

}  // namespace
