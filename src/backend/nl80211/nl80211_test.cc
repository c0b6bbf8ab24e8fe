// SPDX-License-Identifier: MIT
// The scan and current operations run over the netlink traffic of a refresh
// run and of a cached run that the VM suite recorded from the real kernel
// (mac80211_hwsim, hostapd, wpa_supplicant): they must give the line and the
// cache file that lumra printed and wrote in that boot. Edits of the
// recordings bring interrupted dumps, lost events, an aborted scan and a
// rate above 2^32 bit/s.
#include "backend/nl80211/nl80211.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "backend/flow.h"
#include "backend/nl80211/io.h"
#include "backend/nl80211/messages.h"
#include "backend/nl80211/test_script.h"
#include "diag/diag.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"

namespace {

using namespace nlscript;  // NOLINT(google-build-using-namespace)
using Records = std::vector<Record>;

std::string written(int encode, int with_bssid, int with_rate) {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  EXPECT_EQ(write_network_lines(encode, f, with_bssid, with_rate), 0);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

// The index of the n-th record of kind with cmd.
long nth(const Records &records, int kind, int cmd, size_t n) {
  for (size_t i = 0; i < records.size(); ++i)
    if (records[i].is(kind, cmd) && n-- == 0) return static_cast<long>(i);
  ADD_FAILURE() << "no such record";
  return 0;
}
long scan_end(const Records &r, size_t n) {
  return nth(r, kEvent, NL80211_CMD_NEW_SCAN_RESULTS, n);
}
// The replies after the record at.
long replies_end(const Records &records, long at) {
  while (at < static_cast<long>(records.size()) && records[at].kind == kReply) ++at;
  return at;
}

// The n-th GET_SCAN dump is sent `times` more times before the recorded one,
// each reply flagged as interrupted.
void interrupt(Records &records, size_t n, int times) {
  const long start = nth(records, kRequest, NL80211_CMD_GET_SCAN, n);
  Records copy(records.begin() + start, records.begin() + replies_end(records, start + 1));
  copy[1].messages().front()->nlmsg_flags |= NLM_F_DUMP_INTR;
  for (int i = 0; i < times; ++i) records.insert(records.begin() + start, copy.begin(), copy.end());
}

// The reply to the n-th request of cmd replaced by reply (sent to the
// recorded port).
void replace_reply(Records &records, int cmd, size_t n, Record reply) {
  const long at = nth(records, kRequest, cmd, n) + 1;
  reply.messages().front()->nlmsg_pid = records.at(static_cast<size_t>(at)).header().nlmsg_pid;
  records.erase(records.begin() + at, records.begin() + replies_end(records, at));
  records.insert(records.begin() + at, std::move(reply));
}

class Nl80211Run : public ::testing::Test {
 protected:
  void SetUp() override {
    list_clear();
    why = {};
    ctx = nl80211_create();
    ASSERT_NE(ctx, nullptr);
    ctx->ifname = "wlan0";
    reinterpret_cast<nl80211_ctx *>(ctx)->io = &kScripted;
  }
  void TearDown() override {
    nl80211_destroy(ctx);
    list_clear();
  }
  // A refresh run (or with added, a cached run) over records; its result,
  // with the script checked.
  int scan(Records records, bool whole = true, short flags = IFF_UP, int *added = nullptr) {
    Script s(std::move(records));
    s.flags = flags;
    const int result = added != nullptr ? nl80211_ops.current(ctx, added, &why)
                                        : nl80211_ops.scan(ctx, {}, &why);
    EXPECT_EQ(s.faults, std::vector<std::string>{});
    EXPECT_EQ(s.done(), whole);
    EXPECT_EQ(s.open_sockets, 0);
    elapsed_us = s.now_us - 1000000;
    set_flags = s.set_flags;
    return result;
  }
  std::string failure() const { return why.text; }

  cause why;
  backend_ctx *ctx = nullptr;
  int64_t elapsed_us = 0;
  int set_flags = 0;
};

Record error(int code) { return control(NLMSG_ERROR, -code); }
void set_cmd(Record &r, uint8_t cmd) { r.data()[NLMSG_HDRLEN] = cmd; }  // genlmsghdr's first byte

// The station query of the link snapshot left out, with the rate it gives.
void no_station(Records &r) {
  const long at = nth(r, kRequest, NL80211_CMD_GET_STATION, 0);
  r.erase(r.begin() + at, r.begin() + replies_end(r, at + 1));
}
constexpr char kRate[] = "5 Mbit/s,";

// Edits of the recorded refresh run: what the scan returns, its failure,
// whether another backend may serve instead, and how much longer than the
// recorded run it takes in virtual time.
TEST_F(Nl80211Run, ScriptedOutcomes) {
  const struct {
    const char *name;
    std::function<void(Records &)> edit;
    int result;
    std::string cause;
    int extra_ms = 0;
    bool associated = true;  // the snapshot found the association and its rate
    short flags = IFF_UP;
    int unserved = 0;
  } cases[] = {
      {"trigger not permitted",
       [](Records &r) { replace_reply(r, NL80211_CMD_TRIGGER_SCAN, 0, error(EPERM)); }, -1,
       "NL80211_CMD_TRIGGER_SCAN on wlan0: Operation not permitted (scanning needs root or "
       "CAP_NET_ADMIN)"},
      {"a running scan joined",
       [](Records &r) { replace_reply(r, NL80211_CMD_TRIGGER_SCAN, 0, error(EBUSY)); }, 0, ""},
      // What no nl80211 can serve is left to another backend.
      {"no nl80211 interface",
       [](Records &r) { replace_reply(r, NL80211_CMD_GET_INTERFACE, 0, error(ENODEV)); }, kUnserved,
       "wlan0: not an nl80211 interface", 0, true, IFF_UP, 1},
      {"another interface's reply",
       [](Records &r) {
         nlattr *index = find(r[nth(r, kReply, NL80211_CMD_NEW_INTERFACE, 0)].messages().front(),
                              {NL80211_ATTR_IFINDEX});
         const uint32_t other = mnl_attr_get_u32(index) + 1;
         memcpy(mnl_attr_get_payload(index), &other, sizeof other);
       },
       kUnserved, "wlan0: not an nl80211 interface", 0, true, IFF_UP, 1},
      {"no generic netlink", [](Records &r) { r.insert(r.begin(), open_error(EPROTONOSUPPORT)); },
       kUnserved, "nl80211: Protocol not supported", 0, true, IFF_UP, 1},
      {"no nl80211 family",
       [](Records &r) {
         r.erase(r.begin() + 1, r.begin() + 3), r.insert(r.begin() + 1, error(ENOENT));
       },
       kUnserved, "nl80211 not available (no cfg80211)", 0, true, IFF_UP, 1},
      {"no socket", [](Records &r) { r.insert(r.begin(), open_error(EMFILE)); }, -1,
       "nl80211: Too many open files"},
      {"an empty scan",
       [](Records &r) { replace_reply(r, NL80211_CMD_GET_SCAN, 1, control(NLMSG_DONE, 0)); }, -1,
       "scan on wlan0 found no network"},
      {"a slow scan", [](Records &r) { r.insert(r.begin() + scan_end(r, 0), delay(14900)); }, 0, "",
       14900},
      {"a wait cut short by a signal",
       [](Records &r) { r.insert(r.begin() + scan_end(r, 0), signal_arrives()); }, 0, ""},
      {"no end within 15 s", [](Records &r) { r.insert(r.begin() + scan_end(r, 0), delay(15000)); },
       -1, "scan on wlan0: no result within 15 s"},
      {"another radio's scan end",
       [](Records &r) {
         nlattr *index = find(r[scan_end(r, 0)].messages().front(), {NL80211_ATTR_IFINDEX});
         const uint32_t other = mnl_attr_get_u32(index) + 1;
         memcpy(mnl_attr_get_payload(index), &other, sizeof other);
       },
       -1, "scan on wlan0: no result within 15 s"},
      {"an interface that is down", [](Records &) {}, 0, "", 0, true, 0},
      // An earlier scan's end, and lost events, queued before the trigger:
      // drained, so the wait sees the end of its own scan only.
      {"stale events drained",
       [](Records &r) {
         const Record stale = r[scan_end(r, 0)];
         r.insert(r.begin() + nth(r, kRequest, NL80211_CMD_TRIGGER_SCAN, 0),
                  {event_error(ENOBUFS), stale});
         r.insert(r.begin() + scan_end(r, 1), delay(1000));
       },
       0, "", 1000},
      // Dumps interrupted by a change are redone three times, no more.
      {"association dump interrupted once", [](Records &r) { interrupt(r, 0, 1); }, 0, ""},
      {"scan dump interrupted 3 times", [](Records &r) { interrupt(r, 1, 3); }, 0, ""},
      {"scan dump interrupted 4 times", [](Records &r) { interrupt(r, 1, 4); }, -1,
       "NL80211_CMD_GET_SCAN on wlan0: interrupted 4 times"},
      {"association dump interrupted 4 times", [](Records &r) { interrupt(r, 0, 4); }, -1,
       "NL80211_CMD_GET_SCAN on wlan0: interrupted 4 times"},
      // A snapshot that cannot read the association passes it over; what
      // is left of its dump is never taken for the trigger's reply.
      {"association dump refused",
       [](Records &r) {
         replace_reply(r, NL80211_CMD_GET_SCAN, 0, error(EOPNOTSUPP));
         no_station(r);
       },
       0, "", 0, false},
      {"association dump fails part-way",
       [](Records &r) {
         set_cmd(r[nth(r, kRequest, NL80211_CMD_GET_SCAN, 0) + 1], NL80211_CMD_NEW_STATION);
         no_station(r);
       },
       0, "", 0, false},
      // Lost events and an aborted scan still dump, at once.
      {"the end lost with other events",
       [](Records &r) { r[scan_end(r, 0)] = event_error(ENOBUFS); }, 0, ""},
      {"the end lost in every pass",
       [](Records &r) {
         for (int pass = 0; pass < 5; ++pass) r[scan_end(r, 0)] = event_error(ENOBUFS);
       },
       0, ""},
      {"events lost before the end",
       [](Records &r) { r.insert(r.begin() + scan_end(r, 0), event_error(ENOBUFS)); }, 0, ""},
      {"aborted", [](Records &r) { set_cmd(r[scan_end(r, 0)], NL80211_CMD_SCAN_ABORTED); }, 0, ""},
  };
  ASSERT_EQ(scan(load("refresh.rec")), 0);
  const int64_t recorded_us = elapsed_us;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();  // a fresh instance, as each run has
    Records records = load("refresh.rec");
    c.edit(records);
    EXPECT_EQ(scan(records, c.result == 0, c.flags), c.result);
    EXPECT_EQ(failure(), c.cause);
    EXPECT_EQ(c.result == kUnserved, c.unserved != 0);
    EXPECT_EQ(set_flags, (c.flags & IFF_UP) != 0 || c.unserved ? 0 : 1);
    if (c.result != 0) continue;
    std::string out = slurp("refresh.out");
    if (!c.associated) out.erase(out.find(kRate), strlen(kRate));
    EXPECT_EQ(written(0, 0, 1), out);
    EXPECT_EQ(elapsed_us - recorded_us, c.extra_ms * 1000);
  }
}

TEST_F(Nl80211Run, RefreshRunGivesTheLineAndCacheOfTheVm) {
  ASSERT_EQ(scan(load("refresh.rec")), 0) << failure();
  EXPECT_EQ(written(0, 0, 1), slurp("refresh.out"));
  EXPECT_EQ(written(1, 1, 0), slurp("refresh.cache"));
}

// The list of the recorded cached run, which lacks the associated network.
void read_cached_before() {
  FILE *before = fopen((kFixtures + "cached.before").c_str(), "r");
  ASSERT_NE(before, nullptr);
  ASSERT_EQ(read_cache(before), 0);
  fclose(before);
}

TEST_F(Nl80211Run, CachedRunAddsTheAssociatedNetworkByADirectedScan) {
  read_cached_before();
  int added = 0;
  ASSERT_EQ(scan(load("cached.rec"), true, IFF_UP, &added), 0) << failure();
  EXPECT_EQ(added, 1);
  EXPECT_EQ(written(0, 0, 1), slurp("cached.out"));
  EXPECT_EQ(written(1, 1, 0), slurp("cached.after"));
}

// An association whose SSID takes the whole 32 bytes is scanned for like any other.
TEST_F(Nl80211Run, CachedRunScansForA32ByteSsid) {
  Records r = load("cached.rec");
  const long dump = nth(r, kRequest, NL80211_CMD_GET_SCAN, 0) + 1;
  const std::string ssid(32, 'x');
  Datagram d;
  put_bss(d,
          {.bssid = {2, 0, 0, 0, 2, 0},
           .frequency = 2437,
           .status = NL80211_BSS_STATUS_ASSOCIATED,
           .ies = ssid_element(ssid.c_str())},
          r[dump].header().nlmsg_type, NLM_F_MULTI, 0, r[dump].header().nlmsg_pid);
  r[dump] = record(kReply, d.bytes().data(), d.size());
  const long trigger = nth(r, kRequest, NL80211_CMD_TRIGGER_SCAN, 0);
  nl_session session(&kScripted);
  session.family = r[trigger].header().nlmsg_type;
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *req = nl_request_start(&session, buf, NL80211_CMD_TRIGGER_SCAN, NLM_F_ACK);
  const uint32_t ifindex =
      mnl_attr_get_u32(find(r[trigger].messages().front(), {NL80211_ATTR_IFINDEX}));
  nl_association target{};
  memcpy(target.ssid, ssid.data(), 32);
  target.ssid_len = 32;
  target.frequency = 2437;
  nl_put_scan_request(req, {ifindex, NL80211_IFTYPE_STATION, &target, nullptr});
  r[trigger] = record(kRequest, req, req->nlmsg_len);
  read_cached_before();
  int added = 0;
  ASSERT_EQ(scan(r, true, IFF_UP, &added), 0) << failure();
  EXPECT_EQ(added, 1);
}

// The recorded dump cut at every length: only a cut between two whole
// messages leaves a valid (unfinished) reply; every other cut fails, and
// nothing is read outside the cut datagram.
TEST_F(Nl80211Run, EveryTruncationOfARecordedDumpFails) {
  Records records = load("refresh.rec");
  size_t i = 0;
  while (i + 1 < records.size() &&
         !(records[i].is(kRequest, NL80211_CMD_GET_SCAN) && records[i + 1].len > 1000))
    ++i;
  ASSERT_LT(i + 1, records.size());
  Record &dump = records[i + 1];
  std::vector<size_t> boundaries;
  for (nlmsghdr *nlh : dump.messages())
    boundaries.push_back(static_cast<size_t>(reinterpret_cast<uint8_t *>(nlh) - dump.data()) +
                         NLMSG_ALIGN(nlh->nlmsg_len));
  ASSERT_GE(boundaries.size(), 2u);
  for (size_t cut = 1; cut < dump.len; ++cut) {
    cell_batch batch;
    std::vector<uint32_t> copy((cut + 3) / 4);
    memcpy(copy.data(), dump.data(), cut);
    const nl_walk_result w = nl_walk_reply(
        {reinterpret_cast<const uint8_t *>(copy.data()), cut}, records[i].header().nlmsg_seq,
        dump.header().nlmsg_pid,
        [](const nlmsghdr *nlh, void *data) {
          nl_bss bss;
          return nl_parse_bss(nlh, &bss) != 0 ? -1
                                              : nl_bss_cell(bss, static_cast<cell_batch *>(data));
        },
        &batch);
    const bool boundary = std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end();
    EXPECT_EQ(w, boundary ? kNlMore : kNlFailed) << "cut at " << cut;
  }
}

// The rate of the association's station as the scan reads it; the oversized
// SSID, the other edit that a scan meets, is the messages' own test.
TEST_F(Nl80211Run, RateAbove32Bits) {
  Records records = load("refresh.rec");
  const long station = nth(records, kRequest, NL80211_CMD_GET_STATION, 0) + 1;
  nlattr *rate =
      find(records[station].messages().front(),
           {NL80211_ATTR_STA_INFO, NL80211_STA_INFO_TX_BITRATE, NL80211_RATE_INFO_BITRATE32});
  ASSERT_NE(rate, nullptr);
  const uint32_t rate32 = 48039;  // 4803.9 Mbit/s
  memcpy(mnl_attr_get_payload(rate), &rate32, sizeof rate32);
  ASSERT_EQ(scan(records), 0) << failure();
  std::string out = slurp("refresh.out");
  ASSERT_NE(out.find("5 Mbit/s"), std::string::npos);
  EXPECT_EQ(written(0, 0, 1), out.replace(out.find("5 Mbit/s"), 8, "4 Gbit/s"));
}

// The loopback interface is no nl80211 one, and the kernel may have no
// nl80211 at all: either way the probe leaves it to another backend, and a
// scan fails before it changes anything. A missing interface is no such case.
TEST(Nl80211, InterfaceItCannotServe) {
  const struct {
    const char *ifname;
    int serves;  // the probe's answer
    std::vector<std::string> causes;
    const char *code;
  } cases[] = {
      {"lo",
       0,
       {"nl80211 not available (no cfg80211)", "lo: not an nl80211 interface",
        "nl80211: Protocol not supported" /* qemu-user */},
       "no-nl80211"},
      {"lumra-none0", -1, {"lumra-none0: No such device"}, "no-device"},
  };
  for (const auto &c : cases) {
    backend_ctx *ctx = nl80211_create();
    ASSERT_NE(ctx, nullptr);
    ctx->ifname = c.ifname;
    for (bool scan : {false, true}) {
      cause why;
      if (scan)
        EXPECT_EQ(nl80211_ops.scan(ctx, {}, &why), c.serves == 0 ? kUnserved : -1);
      else
        EXPECT_EQ(nl80211_ops.probe(ctx, &why), c.serves);
      EXPECT_NE(std::find(c.causes.begin(), c.causes.end(), why.text), c.causes.end()) << why.text;
      EXPECT_STREQ(why.code, c.code);
    }
    nl80211_destroy(ctx);
  }
}

}  // namespace
