// SPDX-License-Identifier: MIT
// The fake driver against the real libiw, the real system calls it passes
// on, and the wireless-tools programs.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "fakewext.h"

namespace {

using fakewext::Bytes;
using fakewext::Cell;
using fakewext::Event;
namespace ev = fakewext::ev;
namespace fetch = fakewext::fetch;

uint16_t u16_at(const Bytes &b, size_t off) {
  uint16_t v;
  memcpy(&v, b.data() + off, sizeof v);
  return v;
}

// Room behind the event: libiw writes past a plain iw_event for some
// 64-bit streams of WE 18 and older (see Wext18PointEvents).
union EventBox {
  iw_event ev;
  char room[sizeof(iw_event) + 16];
};

// The events point into `stream`, which must outlive them.
std::vector<iw_event> extract(Bytes &stream, int we, int *last = nullptr) {
  std::vector<iw_event> out;
  stream_descr s;
  iw_init_event_stream(&s, reinterpret_cast<char *>(stream.data()),
                       static_cast<int>(stream.size()));
  EventBox box;
  int r;
  while ((r = iw_extract_event_stream(&s, &box.ev, we)) > 0) out.push_back(box.ev);
  if (last) *last = r;
  return out;
}

// Bytes of the kernel's layout, by event and version: a 64-bit kernel's
// (8-byte header) or, in a 32-bit build, a 32-bit kernel's (4-byte header).
TEST(FakeWextEncode, KernelLayout) {
  struct Layout {
    size_t len;       // total event length
    size_t value_at;  // where the value (or the length field) starts
  };
  struct Case {
    const char *what;
    Event event;
    int we;
    Layout wide, narrow;
  };
  const Case cases[] = {
      {"address", ev::ap("00:11:22:33:44:55"), 22, {24, 8}, {20, 4}},
      {"frequency", ev::freq_mhz(2412), 22, {16, 8}, {12, 4}},
      {"mode", ev::mode(3), 22, {12, 8}, {8, 4}},
      {"quality", ev::qual(60, 206, 0, 0x4b), 22, {12, 8}, {8, 4}},
      {"rate", ev::rate(54000000), 22, {16, 8}, {12, 4}},
      {"two rates", ev::rates({1000000, 2000000}), 22, {24, 8}, {20, 4}},
      {"essid we22", ev::essid("home"), 22, {20, 8}, {12, 4}},
      {"essid we19", ev::essid("home"), 19, {20, 8}, {12, 4}},
      {"essid we18", ev::essid("home"), 18, {28, 16}, {16, 8}},
      {"encode we22", ev::encode_on(), 22, {16, 8}, {8, 4}},
      {"encode we18", ev::encode_on(), 18, {24, 16}, {12, 8}},
      {"genie we22", ev::genie({0xdd, 1, 0}), 22, {19, 8}, {11, 4}},
  };
  const bool wide = sizeof(void *) == 8;
  const size_t header = wide ? 8 : 4;
  for (const Case &c : cases) {
    const Layout &l = wide ? c.wide : c.narrow;
    Bytes b = fakewext::encode_events({c.event}, c.we);
    ASSERT_EQ(b.size(), l.len) << c.what;
    EXPECT_EQ(u16_at(b, 0), l.len) << c.what;
    EXPECT_EQ(u16_at(b, 2), c.event.cmd) << c.what;
    if (wide) {
      EXPECT_EQ(u16_at(b, 4), 0) << c.what;  // header padding
    }
    if (!c.event.extra.empty() || c.event.cmd == SIOCGIWENCODE) {
      EXPECT_EQ(u16_at(b, l.value_at), c.event.u.data.length) << c.what;
      EXPECT_EQ(u16_at(b, l.value_at + 2), c.event.u.data.flags) << c.what;
      size_t payload = l.len - c.event.extra.size();
      EXPECT_EQ(Bytes(b.begin() + payload, b.end()), c.event.extra) << c.what;
      if (c.we <= 18) {  // the pointer, zero
        EXPECT_EQ(Bytes(b.begin() + header, b.begin() + l.value_at), Bytes(l.value_at - header, 0))
            << c.what;
      }
    } else if (c.event.cmd == SIOCGIWAP) {
      EXPECT_EQ(Bytes(b.begin() + header + 2, b.begin() + header + 8),
                (Bytes{0, 0x11, 0x22, 0x33, 0x44, 0x55}));
    }
  }
}

// What libiw's decoder reads back from the stream, per version.
TEST(FakeWextEncode, RoundTripThroughLibiw) {
  const std::string custom = "wpa_ie=dd160050f201";
  const Bytes ie = {0x30, 0x02, 0x01, 0x00};
  const std::vector<Event> events = {
      ev::ap("02:00:00:00:00:2a"),
      ev::channel(6),
      ev::freq_mhz(2437),
      ev::mode(IW_MODE_MASTER),
      ev::essid(std::string_view("caf\xc3\xa9\0", 6)),
      ev::encode_on(),
      ev::qual(60, 206, 0, 0x2b),
      ev::genie(ie),
      ev::custom(custom),
      ev::rate(54000000),
      ev::essid(std::string(32, 'z')),
  };
  for (int we : {19, 20, 21, 22}) {
    SCOPED_TRACE(we);
    int last = 99;
    Bytes stream = fakewext::encode_events(events, we);
    std::vector<iw_event> got = extract(stream, we, &last);
    EXPECT_EQ(last, 0);
    ASSERT_EQ(got.size(), events.size());
    for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(got[i].cmd, events[i].cmd) << i;
    EXPECT_EQ(Bytes(got[0].u.ap_addr.sa_data, got[0].u.ap_addr.sa_data + 6),
              (Bytes{2, 0, 0, 0, 0, 0x2a}));
    EXPECT_EQ(iw_freq2float(&got[1].u.freq), 6.0);
    EXPECT_EQ(iw_freq2float(&got[2].u.freq), 2.437e9);
    EXPECT_EQ(got[3].u.mode, static_cast<uint32_t>(IW_MODE_MASTER));
    ASSERT_NE(got[4].u.essid.pointer, nullptr);
    EXPECT_EQ(got[4].u.essid.length, 6);  // "café" is 5 bytes in UTF-8, then the NUL
    EXPECT_EQ(got[4].u.essid.flags, 1);
    EXPECT_EQ(memcmp(got[4].u.essid.pointer, "caf\xc3\xa9\0", 6), 0);
    EXPECT_EQ(got[5].u.data.flags, IW_ENCODE_ENABLED | IW_ENCODE_NOKEY);
    EXPECT_EQ(got[5].u.data.length, 0);
    EXPECT_EQ(got[6].u.qual.qual, 60);
    EXPECT_EQ(got[6].u.qual.level, 206);
    EXPECT_EQ(got[6].u.qual.updated, 0x2b);
    ASSERT_EQ(got[7].u.data.length, ie.size());
    EXPECT_EQ(Bytes(static_cast<uint8_t *>(got[7].u.data.pointer),
                    static_cast<uint8_t *>(got[7].u.data.pointer) + ie.size()),
              ie);
    ASSERT_EQ(got[8].u.data.length, custom.size());
    EXPECT_EQ(std::string(static_cast<char *>(got[8].u.data.pointer), custom.size()), custom);
    EXPECT_EQ(got[9].u.bitrate.value, 54000000);
    EXPECT_EQ(got[10].u.essid.length, 32);
  }
}

TEST(FakeWextEncode, ValueEventsDecodeInEveryVersion) {
  const std::vector<Event> events = {ev::ap("00:11:22:33:44:55"), ev::freq_raw(2412, 6),
                                     ev::mode(1), ev::qual(1, 2, 3, 4),
                                     ev::rates({1000000, 2000000, 11000000})};
  for (int we : {14, 16, 18, 22}) {
    SCOPED_TRACE(we);
    Bytes stream = fakewext::encode_events(events, we);
    std::vector<iw_event> got = extract(stream, we);
    // One rates event yields one decoded event per value.
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0].u.ap_addr.sa_data[5], 0x55);
    EXPECT_EQ(got[1].u.freq.m, 2412);
    EXPECT_EQ(got[1].u.freq.e, 6);
    EXPECT_EQ(got[2].u.mode, 1u);
    EXPECT_EQ(got[3].u.qual.noise, 3);
    EXPECT_EQ(got[4].u.bitrate.value, 1000000);
    EXPECT_EQ(got[5].u.bitrate.value, 2000000);
    EXPECT_EQ(got[6].u.bitrate.value, 11000000);
  }
}

// A kernel of WE 18 or older keeps the pointer in pointer events. On 64-bit
// machines libiw 30 reads the length from the wrong place there and reports
// 0, so a reader of such a driver sees no ESSID (and it writes 4 bytes past
// the iw_event it fills, hence EventBox); 32-bit streams decode whole.
TEST(FakeWextEncode, Wext18PointEvents) {
  Bytes stream = fakewext::encode_events({ev::essid("home"), ev::mode(2)}, 18);
  std::vector<iw_event> got = extract(stream, 18);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].cmd, SIOCGIWESSID);
  EXPECT_EQ(got[0].u.essid.length, sizeof(void *) == 8 ? 0 : 4);
  EXPECT_EQ(got[1].u.mode, 2u);  // the stream stays in step
}

TEST(FakeWextEncode, Helpers) {
  uint8_t mac[6];
  EXPECT_TRUE(fakewext::parse_mac("0a:1B:2c:3D:4e:5F", mac));
  EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f}));
  EXPECT_FALSE(fakewext::parse_mac("0a:1b:2c:3d:4e", mac));
  EXPECT_FALSE(fakewext::parse_mac("0a:1b:2c:3d:4e:5g", mac));
  Bytes b;
  EXPECT_FALSE(fakewext::parse_hex("abc", b));
  EXPECT_EQ(fakewext::request_code("SIOCGIWSCAN"), static_cast<unsigned long>(SIOCGIWSCAN));
  EXPECT_EQ(fakewext::request_code("0x8b21"), static_cast<unsigned long>(SIOCGIWRATE));
  EXPECT_EQ(fakewext::request_code("SIOCNONE"), 0ul);
  EXPECT_EQ(fakewext::request_name(SIOCGIWRATE), "SIOCGIWRATE");
  EXPECT_EQ(fakewext::request_name(0x8bff), "0x8bff");
}

// A socket as the backend opens it, closed at the end of each test.
class FakeWext : public ::testing::Test {
 protected:
  void SetUp() override {
    fd = iw_sockets_open();
    ASSERT_GE(fd, 0);
  }
  void TearDown() override { close(fd); }

  iwreq request(const char *name) {
    iwreq w;
    memset(&w, 0, sizeof w);
    strncpy(w.ifr_name, name, IFNAMSIZ);
    return w;
  }
  int fetch_into(const char *name, uint8_t *buf, uint16_t size, iwreq *out) {
    *out = request(name);
    out->u.data.pointer = buf;
    out->u.data.length = size;
    return ioctl(fd, SIOCGIWSCAN, out);
  }

  fakewext::Session fake;
  int fd = -1;
};

TEST_F(FakeWext, BasicConfigAndRange) {
  fakewext::Interface w;
  w.essid = "home";
  w.freq = fakewext::freq_of_mhz(2437);
  w.we_version = 21;
  fake.add(w);
  fakewext::Interface wired;
  wired.name = "eth0";
  wired.wireless = false;
  fake.add(wired);

  wireless_config cfg;
  memset(&cfg, 0, sizeof cfg);
  ASSERT_EQ(iw_get_basic_config(fd, const_cast<char *>("wlan0"), &cfg), 0);
  EXPECT_STREQ(cfg.name, "IEEE 802.11");
  EXPECT_STREQ(cfg.essid, "home");
  EXPECT_EQ(cfg.has_freq, 1);
  EXPECT_EQ(cfg.freq, 2.437e9);
  EXPECT_EQ(cfg.mode, IW_MODE_INFRA);
  EXPECT_EQ(iw_get_basic_config(fd, const_cast<char *>("eth0"), &cfg), -1);

  iw_range range;
  ASSERT_EQ(iw_get_range_info(fd, "wlan0", &range), 0);
  EXPECT_EQ(range.we_version_compiled, 21);
  EXPECT_EQ(range.max_qual.qual, 70);
  EXPECT_EQ(range.num_frequency, 32);
  EXPECT_EQ(iw_freq_to_channel(2.437e9, &range), 6);
  EXPECT_EQ(iw_freq_to_channel(5.18e9, &range), 36);
  EXPECT_LT(iw_freq_to_channel(5.9e9, &range), 0);  // not in the list
  EXPECT_EQ(iw_get_range_info(fd, "eth0", &range), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
}

// Drivers of WE 15 and older send the range in its old layout, which libiw
// converts; the frequency list then holds at most 16 entries.
TEST_F(FakeWext, RangeLayoutPerVersion) {
  const struct {
    uint8_t we;
    int frequencies;
  } cases[] = {{14, 16}, {15, 16}, {16, 32}, {22, 32}};
  for (const auto &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.we));
    fake.driver().reset();
    fake.driver().activate(true);
    fakewext::Interface w;
    w.we_version = c.we;
    w.max_qual = {94, 0, 0, IW_QUAL_NOISE_INVALID};
    fake.add(w);
    iw_range range;
    memset(&range, 0, sizeof range);
    ASSERT_EQ(iw_get_range_info(fd, "wlan0", &range), 0);
    EXPECT_EQ(range.we_version_compiled, c.we);
    EXPECT_EQ(range.max_qual.qual, 94);
    EXPECT_EQ(range.avg_qual.qual, 47);
    EXPECT_EQ(range.num_frequency, c.frequencies);
    EXPECT_EQ(iw_freq_to_channel(2.437e9, &range), 6);
    EXPECT_EQ(iw_freq_to_channel(5.26e9, &range), c.frequencies > 16 ? 52 : -2);
  }
}

TEST_F(FakeWext, AssociationRequests) {
  fakewext::Interface w;
  ASSERT_TRUE(fakewext::parse_mac("00:1a:2b:3c:4d:02", w.ap));
  w.bitrate = 65000000;
  w.essid = "home";
  fake.add(w);

  iwreq r = request("wlan0");
  ASSERT_EQ(ioctl(fd, SIOCGIWAP, &r), 0);
  char text[18];
  iw_sawap_ntop(&r.u.ap_addr, text);
  EXPECT_STREQ(text, "00:1A:2B:3C:4D:02");
  r = request("wlan0");
  ASSERT_EQ(ioctl(fd, SIOCGIWRATE, &r), 0);
  EXPECT_EQ(r.u.bitrate.value, 65000000);

  char essid[33] = {};
  r = request("wlan0");
  r.u.essid.pointer = essid;
  r.u.essid.length = 33;
  ASSERT_EQ(ioctl(fd, SIOCGIWESSID, &r), 0);
  EXPECT_EQ(r.u.essid.length, 4);
  EXPECT_STREQ(essid, "home");
  r.u.essid.length = 3;  // too small for the answer
  EXPECT_EQ(ioctl(fd, SIOCGIWESSID, &r), -1);
  EXPECT_EQ(errno, E2BIG);

  r = request("wlan0");
  EXPECT_EQ(ioctl(fd, SIOCGIWTXPOW, &r), -1);  // not emulated: as an unsupported request
  EXPECT_EQ(errno, EOPNOTSUPP);
}

TEST_F(FakeWext, InterfaceFlagsAreKept) {
  fakewext::Interface w;
  w.flags = IFF_BROADCAST | IFF_MULTICAST;
  fakewext::Interface &iface = fake.add(w);
  ifreq f;
  memset(&f, 0, sizeof f);
  strncpy(f.ifr_name, "wlan0", IFNAMSIZ);
  ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &f), 0);
  EXPECT_EQ(f.ifr_flags, IFF_BROADCAST | IFF_MULTICAST);
  f.ifr_flags = static_cast<short>(f.ifr_flags | IFF_UP);
  ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &f), 0);
  f.ifr_flags = 0;
  ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &f), 0);
  EXPECT_EQ(f.ifr_flags, IFF_UP | IFF_BROADCAST | IFF_MULTICAST);
  EXPECT_EQ(iface.flags, IFF_UP | IFF_BROADCAST | IFF_MULTICAST);
}

// Other interfaces, and everything outside a session, reach the kernel.
TEST_F(FakeWext, PassesOtherCallsOn) {
  fake.add(fakewext::Interface{});
  // The kernel has no such interfaces (ENODEV, or ENOTTY without
  // wireless extensions); only the emulated call is logged.
  iwreq r = request("fakewextnone0");
  EXPECT_EQ(ioctl(fd, SIOCGIWNAME, &r), -1);
  fake.driver().activate(false);
  r = request("wlan0");
  EXPECT_EQ(ioctl(fd, SIOCGIWNAME, &r), -1);
  EXPECT_TRUE(fake.driver().log().empty());
  fake.driver().activate(true);
  EXPECT_EQ(ioctl(fd, SIOCGIWNAME, &r), 0);
  EXPECT_EQ(fake.driver().log().size(), 1u);

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "x", 1), 1);
  fd_set set;
  FD_ZERO(&set);
  FD_SET(p[0], &set);
  timeval tv{0, 0};
  EXPECT_EQ(select(p[0] + 1, &set, nullptr, nullptr, &tv), 1);  // a real pipe, really ready
  pollfd pipe_end = {.fd = p[0], .events = POLLIN, .revents = 0};
  EXPECT_EQ(poll(&pipe_end, 1, 0), 1);
  EXPECT_EQ(pipe_end.revents, POLLIN);
  close(p[0]);
  close(p[1]);
  EXPECT_TRUE(fake.driver().waits_us().empty());
}

TEST_F(FakeWext, FailureInjection) {
  fakewext::Interface w;
  w.failures = {{SIOCGIWRATE, 0, EIO}, {SIOCGIWFREQ, 2, ENETDOWN}};
  fake.add(w);
  struct Step {
    unsigned long request;
    int result;
    int error;
  };
  const Step steps[] = {
      {SIOCGIWRATE, -1, EIO},      {SIOCGIWFREQ, 0, 0}, {SIOCGIWRATE, -1, EIO},
      {SIOCGIWFREQ, -1, ENETDOWN}, {SIOCGIWFREQ, 0, 0}, {SIOCGIWAP, 0, 0},
  };
  for (const Step &s : steps) {
    iwreq r = request("wlan0");
    errno = 0;
    EXPECT_EQ(ioctl(fd, s.request, &r), s.result) << fakewext::request_name(s.request);
    if (s.result < 0) {
      EXPECT_EQ(errno, s.error);
    }
  }
  const auto &log = fake.driver().log();
  ASSERT_EQ(log.size(), std::size(steps));
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].request, steps[i].request);
    EXPECT_EQ(log[i].ifname, "wlan0");
    EXPECT_EQ(log[i].error, steps[i].error);
  }
  EXPECT_EQ(fake.driver().count(SIOCGIWFREQ), 3u);
}

TEST_F(FakeWext, ScanRequestIsRecorded) {
  fake.add(fakewext::Interface{});
  iw_scan_req req;
  memset(&req, 0, sizeof req);
  req.essid_len = 4;
  memcpy(req.essid, "home", 4);
  iwreq r = request("wlan0");
  r.u.data.pointer = &req;
  r.u.data.length = sizeof req;
  r.u.data.flags = IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ;
  ASSERT_EQ(ioctl(fd, SIOCSIWSCAN, &r), 0);
  r.u.data.length = sizeof req + 1;
  EXPECT_EQ(ioctl(fd, SIOCSIWSCAN, &r), -1);
  EXPECT_EQ(errno, E2BIG);

  std::vector<fakewext::Call> scans = fake.driver().calls(SIOCSIWSCAN, "wlan0");
  ASSERT_EQ(scans.size(), 2u);
  EXPECT_EQ(scans[0].length, 316);
  EXPECT_EQ(scans[0].flags, 0x000A);
  ASSERT_EQ(scans[0].payload.size(), 316u);
  EXPECT_EQ(memcmp(scans[0].payload.data(), &req, sizeof req), 0);
  EXPECT_TRUE(scans[1].payload.empty());
}

// Answers to SIOCGIWSCAN: the script first, then the interface's cells.
TEST_F(FakeWext, FetchScript) {
  fakewext::Interface w;
  w.cells = {{ev::ap("00:00:00:00:00:01"), ev::essid("one")}};
  const Bytes one = fakewext::encode_scan(w.cells, 22);
  std::vector<Cell> other = {{ev::ap("00:00:00:00:00:02"), ev::essid("two")},
                             {ev::ap("00:00:00:00:00:03")}};
  const Bytes two = fakewext::encode_scan(other, 22);
  w.fetches = {fetch::not_ready(2), fetch::too_big(10000), fetch::error(EIO),
               fetch::empty(),      fetch::results(other), fetch::bytes({1, 2, 3})};
  fake.add(w);

  struct Answer {
    uint16_t offered;
    int result;
    int error;
    uint16_t length;  // u.data.length afterwards
    Bytes data;       // delivered bytes (result 0)
  };
  const Answer answers[] = {
      {4096, -1, EAGAIN, 4096, {}},
      {4096, -1, EAGAIN, 4096, {}},
      {4096, -1, E2BIG, 10000, {}},
      {4096, -1, EIO, 4096, {}},
      {4096, 0, 0, 0, {}},
      {10, -1, E2BIG, static_cast<uint16_t>(two.size()), {}},  // kept for the retry
      {4096, 0, 0, static_cast<uint16_t>(two.size()), two},
      {4096, 0, 0, 3, {1, 2, 3}},
      {4096, 0, 0, static_cast<uint16_t>(one.size()), one},  // script used up
      {4096, 0, 0, static_cast<uint16_t>(one.size()), one},
  };
  for (size_t i = 0; i < std::size(answers); ++i) {
    const Answer &a = answers[i];
    uint8_t buf[4096];
    iwreq r;
    errno = 0;
    EXPECT_EQ(fetch_into("wlan0", buf, a.offered, &r), a.result) << i;
    if (a.result < 0) {
      EXPECT_EQ(errno, a.error) << i;
    }
    EXPECT_EQ(r.u.data.length, a.length) << i;
    if (a.result == 0) {
      EXPECT_EQ(Bytes(buf, buf + r.u.data.length), a.data) << i;
    }
  }
}

TEST_F(FakeWext, TooSmallBufferWithoutHint) {
  fakewext::Interface w;
  w.cells = {{ev::ap("00:00:00:00:00:01"), ev::custom(std::string(200, 'c'))}};
  w.e2big_hint = false;
  fake.add(w);
  uint8_t buf[64];
  iwreq r;
  EXPECT_EQ(fetch_into("wlan0", buf, sizeof buf, &r), -1);
  EXPECT_EQ(errno, E2BIG);
  EXPECT_EQ(r.u.data.length, sizeof buf);  // left as offered
  r.u.data.pointer = nullptr;
  EXPECT_EQ(ioctl(fd, SIOCGIWSCAN, &r), -1);
  EXPECT_EQ(errno, EFAULT);
}

// iw_get_stats reads /proc/net/wireless without a range, SIOCGIWSTATS with one.
TEST_F(FakeWext, Statistics) {
  fakewext::Interface w;
  w.link = {60, static_cast<uint8_t>(-50), static_cast<uint8_t>(-95), 0x0f};
  fake.add(w);
  fakewext::Interface quiet;
  quiet.name = "wlan1";
  quiet.stats = false;
  fake.add(quiet);

  iw_statistics st;
  iw_range none;
  memset(&st, 0, sizeof st);
  memset(&none, 0, sizeof none);
  ASSERT_EQ(iw_get_stats(fd, "wlan0", &st, &none, 0), 0);
  EXPECT_EQ(st.qual.qual, 60);
  EXPECT_EQ(st.qual.level, 206);  // "-50" read back into 8 bits
  EXPECT_EQ(st.qual.noise, 161);
  EXPECT_EQ(st.qual.updated, 0x07);  // the dBm flag does not survive the text
  EXPECT_EQ(iw_get_stats(fd, "wlan1", &st, &none, 0), -1);
  EXPECT_EQ(fake.driver().count(fakewext::kProcOpen), 2u);

  iw_range range;
  ASSERT_EQ(iw_get_range_info(fd, "wlan0", &range), 0);
  memset(&st, 0, sizeof st);
  ASSERT_EQ(iw_get_stats(fd, "wlan0", &st, &range, 1), 0);
  EXPECT_EQ(st.qual.level, 206);
  EXPECT_EQ(st.qual.updated, 0x0f);
  EXPECT_EQ(iw_get_stats(fd, "wlan1", &st, &range, 1), -1);

  fake.driver().proc_error = EACCES;
  EXPECT_EQ(iw_get_stats(fd, "wlan0", &st, &none, 0), -1);
  EXPECT_EQ(fake.driver().count(fakewext::kProcOpen), 3u);
}

// Waits cost no time: select returns at once and records its timeout.
TEST_F(FakeWext, VirtualTime) {
  fake.add(fakewext::Interface{});
  iwreq r = request("wlan0");
  ASSERT_EQ(ioctl(fd, SIOCGIWNAME, &r), 0);  // makes fd one of the fake's sockets
  fake.driver().wait_script() = {
      {fakewext::WaitStep::Kind::error, EINTR, 100000},
      {fakewext::WaitStep::Kind::readable, 0, 50000},
      {fakewext::WaitStep::Kind::error, EBADF, 0},
  };
  struct Expect {
    int result;
    int error;
    long left_us;  // timeout written back
    int64_t now_us;
  };
  const Expect expect[] = {
      {-1, EINTR, 150000, 100000},
      {1, 0, 100000, 150000},
      {-1, EBADF, 100000, 150000},
      {0, 0, 0, 250000},
  };
  timeval tv{0, 250000};
  for (const Expect &e : expect) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    errno = 0;
    EXPECT_EQ(select(fd + 1, &set, nullptr, nullptr, &tv), e.result);
    if (e.result < 0) {
      EXPECT_EQ(errno, e.error);
    }
    if (e.result == 1) {
      EXPECT_TRUE(FD_ISSET(fd, &set));
    }
    if (e.result == 0) {
      EXPECT_FALSE(FD_ISSET(fd, &set));
    }
    EXPECT_EQ(tv.tv_sec * 1000000L + tv.tv_usec, e.left_us);
    EXPECT_EQ(fake.driver().now_us(), e.now_us);
  }
  timeval pause{2, 0};
  EXPECT_EQ(select(0, nullptr, nullptr, nullptr, &pause), 0);
  EXPECT_EQ(fake.driver().now_us(), 2250000);
  EXPECT_EQ(fake.driver().waits_us(),
            (std::vector<int64_t>{250000, 150000, 100000, 100000, 2000000}));
}

// Real time: the session shows virtual time on CLOCK_MONOTONIC.
int64_t real_us() {
  timespec t{};
  clock_gettime(CLOCK_BOOTTIME, &t);
  return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

// Under a time scale each wait really lasts its share of the virtual time;
// the virtual clock and the answers are the same as without.
TEST_F(FakeWext, ScaledTime) {
  fake.driver().set_time_scale(100);
  fake.driver().wait_script() = {{fakewext::WaitStep::Kind::readable, 0, 0}};
  const struct {
    long timeout_us;
    long at_least_us;  // really waited
    int64_t now_us;
  } steps[] = {
      {800000, 0, 0},  // scripted: ready at once
      {2000000, 20000, 2000000},
      {500000, 5000, 2500000},
  };
  for (const auto &step : steps) {
    timeval tv{0, 0};
    tv.tv_sec = step.timeout_us / 1000000L;
    tv.tv_usec = step.timeout_us % 1000000L;
    int64_t before = real_us();
    select(0, nullptr, nullptr, nullptr, &tv);
    EXPECT_GE(real_us() - before, step.at_least_us);
    EXPECT_EQ(fake.driver().now_us(), step.now_us);
  }
  fake.driver().set_time_scale(0);
  int64_t before = real_us();
  timeval hour{3600, 0};
  select(0, nullptr, nullptr, nullptr, &hour);
  EXPECT_LT(real_us() - before, 1000000);  // virtual again
  EXPECT_EQ(fake.driver().now_us(), 3602500000);
}

// poll waits the same way, in milliseconds, and the monotonic clock shows
// the virtual time that passed.
TEST_F(FakeWext, VirtualTimeOfPoll) {
  fake.add(fakewext::Interface{});
  iwreq r = request("wlan0");
  ASSERT_EQ(ioctl(fd, SIOCGIWNAME, &r), 0);
  fake.driver().wait_script() = {
      {fakewext::WaitStep::Kind::error, EINTR, 100000},
      {fakewext::WaitStep::Kind::readable, 0, 50000},
      {fakewext::WaitStep::Kind::error, EBADF, 0},
  };
  timespec start;
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &start), 0);
  struct Expect {
    int timeout_ms;
    int result;
    int error;
    short revents;
    int64_t now_us;
  };
  const Expect expect[] = {
      {250, -1, EINTR, 0, 100000},
      {150, 1, 0, POLLIN, 150000},
      {100, -1, EBADF, 0, 150000},
      {100, 0, 0, 0, 250000},
  };
  for (const Expect &e : expect) {
    // Another descriptor beside the fake's socket is answered with it.
    pollfd fds[2] = {{.fd = 0, .events = POLLIN, .revents = 7},
                     {.fd = fd, .events = POLLIN, .revents = 7}};
    errno = 0;
    EXPECT_EQ(poll(fds, 2, e.timeout_ms), e.result);
    if (e.result < 0) {
      EXPECT_EQ(errno, e.error);
    } else {
      EXPECT_EQ(fds[0].revents, 0);
      EXPECT_EQ(fds[1].revents, e.revents);
    }
    EXPECT_EQ(fake.driver().now_us(), e.now_us);
    timespec now;
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &now), 0);
    EXPECT_EQ((now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000,
              e.now_us);
  }
  EXPECT_EQ(poll(nullptr, 0, 2000), 0);
  EXPECT_EQ(fake.driver().now_us(), 2250000);
  EXPECT_EQ(fake.driver().waits_us(),
            (std::vector<int64_t>{250000, 150000, 100000, 100000, 2000000}));
  std::vector<fakewext::Call> polls = fake.driver().calls(fakewext::kPoll);
  ASSERT_EQ(polls.size(), 5u);
  EXPECT_EQ(fakewext::format_call(polls[0]),
            "at=0 poll nfds=2 fd=" + std::to_string(fd) + " timeout_ms=250 result=-1 errno=4\n");
  EXPECT_EQ(fakewext::format_call(polls[4]),
            "at=250000 poll nfds=0 fd=-1 timeout_ms=2000 result=0 errno=0\n");

  // The wall clock is not faked, nor the monotonic one once the driver is
  // inactive: a minute of virtual waiting does not show on them.
  timespec mono_before, mono_after, wall_before, wall_after;
  fake.driver().activate(false);
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &mono_before), 0);
  fake.driver().activate(true);
  ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &wall_before), 0);
  EXPECT_EQ(poll(nullptr, 0, 60000), 0);
  ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &wall_after), 0);
  fake.driver().activate(false);
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &mono_after), 0);
  EXPECT_LT(mono_after.tv_sec - mono_before.tv_sec, 30);
  EXPECT_LT(wall_after.tv_sec - wall_before.tv_sec, 30);

  // Turned off, the monotonic clock is the real one inside the session too.
  fake.driver().activate(true);
  fake.driver().virtual_monotonic(false);
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &mono_before), 0);
  EXPECT_EQ(poll(nullptr, 0, 60000), 0);
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &mono_after), 0);
  EXPECT_LT(mono_after.tv_sec - mono_before.tv_sec, 30);
}

TEST(FakeWextSession, EndsWithTheGuard) {
  int fd = iw_sockets_open();
  ASSERT_GE(fd, 0);
  {
    fakewext::Session fake;
    fake.add(fakewext::Interface{});
    iwreq r;
    memset(&r, 0, sizeof r);
    strncpy(r.ifr_name, "wlan0", IFNAMSIZ);
    EXPECT_EQ(ioctl(fd, SIOCGIWNAME, &r), 0);
  }
  iwreq r;
  memset(&r, 0, sizeof r);
  strncpy(r.ifr_name, "wlan0", IFNAMSIZ);
  EXPECT_EQ(ioctl(fd, SIOCGIWNAME, &r), -1);  // no such interface here
  EXPECT_TRUE(fakewext::Driver::instance().log().empty());
  close(fd);
}

std::string read_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(FakeWextScenario, ExamplesLoad) {
  struct Case {
    const char *file;
    size_t cells;
    size_t events;  // in all cells
  };
  const Case cases[] = {{"basic.scn", 3, 27}, {"many.scn", 100, 867}};
  for (const Case &c : cases) {
    fakewext::Session fake;
    std::string error;
    ASSERT_TRUE(fakewext::load_scenario(fake.driver(),
                                        read_text(std::string(FAKEWEXT_SCENARIOS "/") + c.file),
                                        &error))
        << c.file << ": " << error;
    fakewext::Interface *w = fake.driver().find("wlan0");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->cells.size(), c.cells) << c.file;
    size_t events = 0;
    for (const Cell &cell : w->cells) events += cell.size();
    EXPECT_EQ(events, c.events) << c.file;
  }
}

TEST(FakeWextScenario, Settings) {
  fakewext::Session fake;
  std::string error;
  const char *text =
      "interface wlan2\n"
      "  down\n"
      "  we-version 16\n"
      "  ap 00:11:22:33:44:55\n"
      "  essid \"a \\\"b\\\"\\x00c\"\n"
      "  freq 5180\n"
      "  fail SIOCGIWRATE\n"
      "  fail SIOCGIWFREQ 2 ENETDOWN\n"
      "  fetch not-ready 147\n"
      "  fetch too-big 10000\n"
      "  fetch results 2\n"
      "cell 00:00:00:00:00:01\n"
      "cell 00:00:00:00:00:02  # second\n"
      "  channel 08\n"
      "  essid \"x\" 0\n"
      "  encode 0x8000\n"
      "wait error EINTR 1000\n"
      "proc-error EACCES\n";
  ASSERT_TRUE(fakewext::load_scenario(fake.driver(), text, &error)) << error;
  fakewext::Interface *w = fake.driver().find("wlan2");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->flags & IFF_UP, 0);
  EXPECT_EQ(w->we_version, 16);
  EXPECT_EQ(w->ap[5], 0x55);
  EXPECT_EQ(w->essid, std::string("a \"b\"\0c", 7));
  EXPECT_EQ(w->freq.m, 518000000);
  ASSERT_EQ(w->failures.size(), 2u);
  EXPECT_EQ(w->failures[0].nth, 0);
  EXPECT_EQ(w->failures[0].error, EIO);
  EXPECT_EQ(w->failures[1].nth, 2);
  EXPECT_EQ(w->failures[1].error, ENETDOWN);
  ASSERT_EQ(w->fetches.size(), 3u);
  EXPECT_EQ(w->fetches[0].count, 147);
  EXPECT_EQ(w->fetches[1].reported, 10000);
  ASSERT_TRUE(w->fetches[2].cells.has_value());
  ASSERT_EQ(w->fetches[2].cells->size(), 1u);
  EXPECT_EQ((*w->fetches[2].cells)[0].size(), 4u);
  EXPECT_EQ((*w->fetches[2].cells)[0][1].u.freq.m, 8);  // decimal despite the 0
  EXPECT_EQ((*w->fetches[2].cells)[0][2].u.essid.flags, 0);
  ASSERT_EQ(fake.driver().wait_script().size(), 1u);
  EXPECT_EQ(fake.driver().wait_script()[0].error, EINTR);
  EXPECT_EQ(fake.driver().proc_error, EACCES);
}

TEST(FakeWextScenario, Errors) {
  const struct {
    const char *text;
    const char *message;
  } cases[] = {
      {"ap 00:11:22:33:44:55\n", "line 1: 'ap' before any interface line"},
      {"interface wlan0\n  bogus 1\n", "line 2: unknown line 'bogus'"},
      {"interface wlan0\ncell 00:11\n", "line 2: cell <address>"},
      {"interface wlan0\ncell 00:11:22:33:44:55\n  fail SIOCGIWRATE\n",
       "line 3: unknown cell line 'fail'"},
      {"interface wlan0\n  essid \"open\n", "line 2: bad quoted text"},
      {"interface wlan0\n  fail SIOCNONE\n", "line 2: fail <request> [nth|every] [errno]"},
      {"interface wlan0\n  fetch results 2\ncell 00:11:22:33:44:55\n",
       "fetch results names cell 2 of 1"},
      {"interface wlan0\ncell 00:11:22:33:44:55\n  ie 3\n", "line 3: bad hex"},
      {"interface wlan0\ncell 00:11:22:33:44:55\n  qual 1 2 3\n", "line 3: expected 4 numbers"},
  };
  for (const auto &c : cases) {
    fakewext::Session fake;
    std::string error;
    EXPECT_FALSE(fakewext::load_scenario(fake.driver(), c.text, &error)) << c.text;
    EXPECT_EQ(error, c.message) << c.text;
  }
}

// A file name of this process (test runs of several builds may overlap),
// removed when the test ends.
class TempPath {
 public:
  explicit TempPath(const char *name)
      : path_(testing::TempDir() + "fakewext_" + std::to_string(getpid()) + "_" + name) {}
  ~TempPath() { unlink(path_.c_str()); }
  TempPath(const TempPath &) = delete;
  TempPath &operator=(const TempPath &) = delete;
  operator const std::string &() const { return path_; }
  const char *c_str() const { return path_.c_str(); }
  const std::string &str() const { return path_; }

 private:
  std::string path_;
};

// Runs a program under the preload library; returns its standard output.
std::string run_preloaded(const std::string &command, const std::string &scenario,
                          const std::string &log, int *status) {
  TempPath out_path("out.txt");
  std::string cmd = "env LD_PRELOAD=" FAKEWEXT_PRELOAD " FAKEWEXT_SCENARIO=" + scenario +
                    " FAKEWEXT_LOG=" + log + " " + command + " >" + out_path.str() + " 2>&1";
  int rc = system(cmd.c_str());
  *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return read_text(out_path);
}

// The ELF class and machine of a file; empty when unreadable.
std::string elf_kind(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  char head[20] = {};
  if (!in.read(head, sizeof head) || memcmp(head,
                                            "\x7f"
                                            "ELF",
                                            4) != 0)
    return "";
  return std::string(head + 4, 2) + std::string(head + 18, 2);
}

// Whether the preload library can go into the program: not when the tests
// run for another architecture (under qemu-user) than the tools'.
bool preloadable_into(const std::string &program) {
  std::string lib = elf_kind(FAKEWEXT_PRELOAD);
  return !lib.empty() && lib == elf_kind(program);
}

std::string tool(const char *name) {
  for (std::string dir : {"/sbin/", "/usr/sbin/", "/usr/bin/", "/bin/"})
    if (access((dir + name).c_str(), X_OK) == 0) return dir + name;
  return "";
}

// The wireless-tools programs, run against the fake, see what a real driver
// with the scenario would show them.
TEST(FakeWextFidelity, WirelessTools) {
  std::string iwlist = tool("iwlist"), iwconfig = tool("iwconfig");
  if (iwlist.empty() || iwconfig.empty()) GTEST_SKIP() << "wireless-tools not installed";
  if (!preloadable_into(iwlist)) GTEST_SKIP() << "the tools are built for another machine";
  const std::string scenario = FAKEWEXT_SCENARIOS "/basic.scn";
  const TempPath log("log.txt");
  unlink(log.c_str());

  int status = -1;
  std::string scan = run_preloaded(iwlist + " wlan0 scanning", scenario, log, &status);
  EXPECT_EQ(status, 0) << scan;
  const char *in_scan[] = {
      "wlan0     Scan completed :",
      "Cell 01 - Address: 00:1A:2B:3C:4D:01",
      "Channel:1",
      "Frequency:2.412 GHz (Channel 1)",
      "Quality=35/70  Signal level=-75 dBm",
      "ESSID:\"cafe open\"",
      "Encryption key:off",
      "Mode:Master",
      "Extra:tsf=0000001234567890",
      "Cell 02 - Address: 00:1A:2B:3C:4D:02",
      "Frequency:2.437 GHz (Channel 6)",
      "Quality=60/70  Signal level=-50 dBm",
      "ESSID:\"home\"",
      "Encryption key:on",
      "Bit Rates:1 Mb/s; 2 Mb/s; 5.5 Mb/s; 11 Mb/s; 54 Mb/s",
      "IE: IEEE 802.11i/WPA2 Version 1",
      "Group Cipher : CCMP",
      "Authentication Suites (1) : PSK",
      "Cell 03 - Address: 00:1A:2B:3C:4D:03",
      "Frequency:5.18 GHz (Channel 36)",
      "Quality=20/70  Signal level=-90 dBm",
      "ESSID:\"office\"",
      "IE: WPA Version 1",
      "Group Cipher : TKIP",
      "IE: Unknown: DD0E0050F204104A0001101044000102",
      "Extra:Last beacon: 100ms ago",
  };
  size_t at = 0;
  for (const char *s : in_scan) {
    size_t found = scan.find(s, at);
    EXPECT_NE(found, std::string::npos) << "missing or out of order: " << s << "\n" << scan;
    if (found != std::string::npos) at = found;
  }

  std::string config = run_preloaded(iwconfig + " wlan0", scenario, log, &status);
  EXPECT_EQ(status, 0) << config;
  const char *in_config[] = {
      "wlan0     IEEE 802.11  ESSID:\"home\"",
      "Mode:Managed  Frequency:2.437 GHz  Access Point: 00:1A:2B:3C:4D:02",
      "Bit Rate:54 Mb/s",
      "Link Quality=60/70  Signal level=-50 dBm  Noise level=-95 dBm",
  };
  for (const char *s : in_config)
    EXPECT_NE(config.find(s), std::string::npos) << s << "\n" << config;

  // The log shows iwlist's trigger and its first 250 ms wait, at no cost.
  std::string calls = read_text(log);
  EXPECT_NE(calls.find("at=0 ioctl SIOCSIWSCAN wlan0 result=0 errno=0 length=0"), std::string::npos)
      << calls;
  EXPECT_NE(calls.find("at=0 select nfds=0 timeout=250000 result=0"), std::string::npos) << calls;
  EXPECT_NE(calls.find("at=250000 ioctl SIOCGIWSCAN wlan0 result=0"), std::string::npos) << calls;
  EXPECT_NE(calls.find("ioctl SIOCGIWRATE wlan0 result=0"), std::string::npos) << calls;
}

// The tools' reactions to scripted driver answers.
TEST(FakeWextFidelity, ScriptedAnswers) {
  std::string iwlist = tool("iwlist"), iwconfig = tool("iwconfig");
  if (iwlist.empty() || iwconfig.empty()) GTEST_SKIP() << "wireless-tools not installed";
  if (!preloadable_into(iwlist)) GTEST_SKIP() << "the tools are built for another machine";
  const struct {
    const char *scenario;
    bool scan;           // iwlist scanning, else iwconfig
    const char *shows;   // in the output
    const char *logged;  // in the call log
  } cases[] = {
      {"interface eth0\n  no-wireless\n", false, "eth0      no wireless extensions.", ""},
      {"interface wlan0\n  we-version 13\n", true, "Interface doesn't support scanning.", ""},
      {"interface wlan0\n  fail SIOCSIWSCAN 1 EBUSY\n", true,
       "Interface doesn't support scanning : Device or resource busy",
       "ioctl SIOCSIWSCAN wlan0 result=-1 errno=16"},
      {"interface wlan0\n  fetch error EIO\n", true,
       "Failed to read scan data : Input/output error", ""},
      {"interface wlan0\n  fetch not-ready 2\n  fetch empty\n", true, "No scan results",
       "at=350000 select nfds=0 timeout=100000"},
      {"interface wlan0\n  fetch too-big 9000\ncell 00:00:00:00:00:07\n", true,
       "Cell 01 - Address: 00:00:00:00:00:07",
       "at=250000 ioctl SIOCGIWSCAN wlan0 result=0 errno=0 length=9000"},
      {"interface wlan0\n  ap 00:00:00:00:00:00\n", false, "Access Point: Not-Associated", ""},
      {"interface wlan0\n  down\n", true, "Interface doesn't support scanning : Network is down",
       "ioctl SIOCSIWSCAN wlan0 result=-1 errno=100"},
  };
  const TempPath path("case.scn");
  const TempPath log("case.log");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.scenario);
    std::ofstream(path) << c.scenario;
    unlink(log.c_str());
    const char *name = strstr(c.scenario, "eth0") ? "eth0" : "wlan0";
    int status = -1;
    std::string out =
        run_preloaded((c.scan ? iwlist + " " + name + " scanning" : iwconfig + " " + name), path,
                      log, &status);
    EXPECT_NE(out.find(c.shows), std::string::npos) << out;
    EXPECT_NE(read_text(log).find(c.logged), std::string::npos) << read_text(log);
  }
}

TEST(FakeWextFidelity, BadScenarioStopsTheProgram) {
  std::string iwconfig = tool("iwconfig");
  if (iwconfig.empty()) GTEST_SKIP() << "wireless-tools not installed";
  if (!preloadable_into(iwconfig)) GTEST_SKIP() << "the tools are built for another machine";
  const TempPath path("bad.scn");
  std::ofstream(path) << "interface wlan0\n  nonsense\n";
  int status = -1;
  std::string out = run_preloaded(iwconfig + " wlan0", path, "/dev/null", &status);
  EXPECT_EQ(status, 125);
  EXPECT_NE(out.find("fakewext: " + path.str() + ": line 2: unknown line 'nonsense'"),
            std::string::npos)
      << out;
}

}  // namespace
