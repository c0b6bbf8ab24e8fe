// SPDX-License-Identifier: MIT
// The scan and current operations run over the netlink traffic of a refresh
// run and of a cached run that the VM suite recorded from the real kernel
// (mac80211_hwsim, hostapd, wpa_supplicant): they must give the line and the
// cache file that lumra printed and wrote in that boot. Edits of the
// recordings bring interrupted dumps, lost events, an aborted scan, an
// oversized SSID and a rate above 2^32 bit/s.
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
#include "backend/nl80211/messages.h"
#include "backend/nl80211/test_script.h"
#include "diag/diag.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"

namespace {

using nlscript::Record;
using nlscript::Script;

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

std::string replaced(std::string text, const std::string &from, const std::string &to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Where the requests of one command begin in a script, in order.
std::vector<size_t> requests_of(const std::vector<Record> &records, int cmd) {
  std::vector<size_t> out;
  for (size_t i = 0; i < records.size(); ++i)
    if (records[i].kind == nlscript::kRequest && records[i].header().nlmsg_type != GENL_ID_CTRL &&
        records[i].genl_cmd() == cmd)
      out.push_back(i);
  return out;
}

// The n-th GET_SCAN dump is sent `times` more times before the recorded one,
// each reply flagged as interrupted.
void interrupt(std::vector<Record> &records, size_t n, int times) {
  const size_t start = requests_of(records, NL80211_CMD_GET_SCAN).at(n);
  size_t end = start + 1;
  while (end < records.size() && records[end].kind == nlscript::kReply) ++end;
  std::vector<Record> copy(records.begin() + static_cast<long>(start),
                           records.begin() + static_cast<long>(end));
  copy[1].messages().front()->nlmsg_flags |= NLM_F_DUMP_INTR;
  for (int i = 0; i < times; ++i)
    records.insert(records.begin() + static_cast<long>(start), copy.begin(), copy.end());
}

// The index of the n-th NEW_SCAN_RESULTS event.
size_t results_event(const std::vector<Record> &records, size_t n) {
  for (size_t i = 0; i < records.size(); ++i)
    if (records[i].kind == nlscript::kEvent &&
        records[i].genl_cmd() == NL80211_CMD_NEW_SCAN_RESULTS && n-- == 0)
      return i;
  ADD_FAILURE() << "no such event";
  return 0;
}

// The payload of the attribute at path inside a message, or null.
nlattr *find(nlmsghdr *nlh, std::initializer_list<uint16_t> path) {
  char *at = static_cast<char *>(mnl_nlmsg_get_payload_offset(nlh, GENL_HDRLEN));
  char *end = static_cast<char *>(mnl_nlmsg_get_payload_tail(nlh));
  nlattr *found = nullptr;
  for (uint16_t type : path) {
    found = nullptr;
    for (auto *attr = reinterpret_cast<nlattr *>(at); mnl_attr_ok(attr, static_cast<int>(end - at));
         at = reinterpret_cast<char *>(attr = mnl_attr_next(attr)))
      if (mnl_attr_get_type(attr) == type) {
        found = attr;
        break;
      }
    if (found == nullptr) return nullptr;
    at = static_cast<char *>(mnl_attr_get_payload(found));
    end = at + mnl_attr_get_payload_len(found);
  }
  return found;
}

class Nl80211Run : public ::testing::Test {
 protected:
  void SetUp() override {
    list_clear();
    diag_reset();
    ctx = nl80211_create();
    ASSERT_NE(ctx, nullptr);
    ctx->ifname = "wlan0";
    reinterpret_cast<nl80211_ctx *>(ctx)->io = &nlscript::kScripted;
  }
  void TearDown() override {
    nl80211_destroy(ctx);
    list_clear();
    diag_reset();
  }
  // A refresh run over records; its result, with the script checked.
  int scan(std::vector<Record> records, bool whole = true, short flags = IFF_UP) {
    Script s(std::move(records));
    s.flags = flags;
    const int result = nl80211_scan(ctx);
    EXPECT_EQ(s.faults, std::vector<std::string>{});
    if (whole) {
      EXPECT_TRUE(s.done());
    }
    EXPECT_EQ(s.open_sockets, 0);
    elapsed_us = s.now_us - 1000000;
    set_flags = s.set_flags;
    return result;
  }
  static std::string failure() { return diag_failure() != nullptr ? diag_failure() : ""; }

  backend_ctx *ctx = nullptr;
  int64_t elapsed_us = 0;
  int set_flags = 0;
};

// The reply to the n-th request of cmd replaced by reply (sent to the
// recorded port).
void replace_reply(std::vector<Record> &records, int cmd, size_t n, Record reply) {
  const size_t at = requests_of(records, cmd).at(n) + 1;
  reply.messages().front()->nlmsg_pid = records.at(at).header().nlmsg_pid;
  size_t end = at;
  while (end < records.size() && records[end].kind == nlscript::kReply) ++end;
  records.erase(records.begin() + static_cast<long>(at), records.begin() + static_cast<long>(end));
  records.insert(records.begin() + static_cast<long>(at), std::move(reply));
}

TEST_F(Nl80211Run, ScriptedOutcomes) {
  using R = std::vector<Record>;
  auto error = [](int code) { return nlscript::control(NLMSG_ERROR, -code, 0); };
  const struct {
    const char *name;
    std::function<void(R &)> edit;
    short flags;
    int result;
    std::string cause;
  } cases[] = {
      {"trigger not permitted",
       [&](R &r) { replace_reply(r, NL80211_CMD_TRIGGER_SCAN, 0, error(EPERM)); }, IFF_UP, -1,
       "NL80211_CMD_TRIGGER_SCAN on wlan0: Operation not permitted (scanning needs root or "
       "CAP_NET_ADMIN)"},
      {"a running scan joined",
       [&](R &r) { replace_reply(r, NL80211_CMD_TRIGGER_SCAN, 0, error(EBUSY)); }, IFF_UP, 0, ""},
      {"no nl80211 interface",
       [&](R &r) { replace_reply(r, NL80211_CMD_GET_INTERFACE, 0, error(ENODEV)); }, IFF_UP, -1,
       "wlan0: not an nl80211 interface"},
      {"an empty scan",
       [](R &r) { replace_reply(r, NL80211_CMD_GET_SCAN, 1, nlscript::control(NLMSG_DONE, 0, 0)); },
       IFF_UP, -1, "scan on wlan0 found no network"},
      {"a slow scan",
       [](R &r) {
         r.insert(r.begin() + static_cast<long>(results_event(r, 0)), nlscript::delay(14900));
       },
       IFF_UP, 0, ""},
      {"no end within 15 s",
       [](R &r) {
         r.insert(r.begin() + static_cast<long>(results_event(r, 0)), nlscript::delay(15000));
       },
       IFF_UP, -1, "scan on wlan0: no result within 15 s"},
      {"another radio's scan end",
       [](R &r) {
         nlattr *index = find(r[results_event(r, 0)].messages().front(), {NL80211_ATTR_IFINDEX});
         const uint32_t other = mnl_attr_get_u32(index) + 1;
         memcpy(mnl_attr_get_payload(index), &other, sizeof other);
       },
       IFF_UP, -1, "scan on wlan0: no result within 15 s"},
      {"an interface that is down", [](R &) {}, 0, 0, ""},
      // An earlier scan's end, and lost events, queued before the trigger:
      // drained, so the wait sees the end of its own scan only.
      {"stale events drained",
       [](R &r) {
         const auto trigger = static_cast<long>(requests_of(r, NL80211_CMD_TRIGGER_SCAN).at(0));
         Record stale = r[results_event(r, 0)];
         r.insert(r.begin() + trigger, {nlscript::event_error(ENOBUFS), stale});
         r.insert(r.begin() + static_cast<long>(results_event(r, 1)), nlscript::delay(1000));
       },
       IFF_UP, 0, ""},
  };
  for (const auto &c : cases) {
    list_clear();
    diag_reset();
    R records = nlscript::load("refresh.rec");
    c.edit(records);
    EXPECT_EQ(scan(records, false, c.flags), c.result) << c.name;
    EXPECT_EQ(failure(), c.cause) << c.name;
    EXPECT_EQ(set_flags, (c.flags & IFF_UP) != 0 ? 0 : 1) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(written(0, 0, 1), nlscript::slurp("refresh.out")) << c.name;
    }
  }
}

TEST_F(Nl80211Run, RefreshRunGivesTheLineAndCacheOfTheVm) {
  ASSERT_EQ(scan(nlscript::load("refresh.rec")), 0) << failure();
  EXPECT_EQ(written(0, 0, 1), nlscript::slurp("refresh.out"));
  EXPECT_EQ(written(1, 1, 0), nlscript::slurp("refresh.cache"));
  EXPECT_EQ(diag_count().passes, 5u);
}

TEST_F(Nl80211Run, CachedRunAddsTheAssociatedNetworkByADirectedScan) {
  FILE *before = fopen((nlscript::kFixtures + "cached.before").c_str(), "r");
  ASSERT_NE(before, nullptr);
  ASSERT_EQ(read_cache(before), 0);
  fclose(before);
  Script s(nlscript::load("cached.rec"));
  int added = 0;
  ASSERT_EQ(nl80211_current(ctx, &added), 0) << failure();
  EXPECT_EQ(s.faults, std::vector<std::string>{});
  EXPECT_TRUE(s.done());
  EXPECT_EQ(s.open_sockets, 0);
  EXPECT_EQ(added, 1);
  EXPECT_EQ(written(0, 0, 1), nlscript::slurp("cached.out"));
  EXPECT_EQ(written(1, 1, 0), nlscript::slurp("cached.after"));
}

// The recorded dump cut at every length: only a cut between two whole
// messages leaves a valid (unfinished) reply; every other cut fails, and
// nothing is read outside the cut datagram.
TEST_F(Nl80211Run, EveryTruncationOfARecordedDumpFails) {
  const std::vector<Record> records = nlscript::load("refresh.rec");
  const Record *dump = nullptr;
  uint32_t seq = 0;
  for (size_t i : requests_of(records, NL80211_CMD_GET_SCAN)) {
    if (records[i + 1].len > 1000) {
      dump = &records[i + 1];
      seq = records[i].header().nlmsg_seq;
      break;
    }
  }
  ASSERT_NE(dump, nullptr);
  std::vector<size_t> boundaries;
  for (size_t at = 0; at < dump->len;) {
    nlmsghdr h;
    memcpy(&h, dump->data() + at, sizeof h);
    at += NLMSG_ALIGN(h.nlmsg_len);
    boundaries.push_back(at);
  }
  ASSERT_GE(boundaries.size(), 2u);
  const cell_rules rules{"", "", false};
  for (size_t cut = 1; cut < dump->len; ++cut) {
    list_clear();
    std::vector<uint32_t> copy((cut + 3) / 4);
    memcpy(copy.data(), dump->data(), cut);
    const nl_walk_result w = nl_walk_reply(
        {reinterpret_cast<const uint8_t *>(copy.data()), cut}, seq, dump->header().nlmsg_pid,
        [](const nlmsghdr *nlh, void *data) {
          nl_bss bss;
          if (nl_parse_bss(nlh, &bss) != 0) return -1;
          return nl_add_bss(bss, *static_cast<const cell_rules *>(data));
        },
        const_cast<cell_rules *>(&rules));
    bool boundary = false;
    for (size_t b : boundaries) boundary = boundary || b == cut;
    EXPECT_EQ(w, boundary ? kNlMore : kNlFailed) << "cut at " << cut;
  }
}

TEST_F(Nl80211Run, InterruptedDumpsAreRedoneThreeTimes) {
  const struct {
    const char *name;
    size_t dump;  // 0: the association's, 1: the first scan's
    int interruptions;
    int result;
  } cases[] = {
      {"association, once", 0, 1, 0},
      {"scan, three times", 1, 3, 0},
      {"scan, four times", 1, 4, -1},
      {"association, four times", 0, 4, -1},
  };
  for (const auto &c : cases) {
    list_clear();
    diag_reset();
    std::vector<Record> records = nlscript::load("refresh.rec");
    interrupt(records, c.dump, c.interruptions);
    EXPECT_EQ(scan(records, c.result == 0), c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(written(0, 0, 1), nlscript::slurp("refresh.out")) << c.name;
    } else {
      EXPECT_EQ(failure(), "NL80211_CMD_GET_SCAN on wlan0: interrupted 4 times") << c.name;
    }
  }
}

TEST_F(Nl80211Run, LostEventsAndAnAbortedScanStillDump) {
  const struct {
    const char *name;
    std::function<void(std::vector<Record> &)> edit;
    bool whole_budget;  // the first pass waits out its 15 s
  } cases[] = {
      {"the end lost with other events",
       [](std::vector<Record> &r) { r[results_event(r, 0)] = nlscript::event_error(ENOBUFS); },
       true},
      {"events lost before the end",
       [](std::vector<Record> &r) {
         r.insert(r.begin() + static_cast<long>(results_event(r, 0)),
                  nlscript::event_error(ENOBUFS));
       },
       false},
      {"aborted",
       [](std::vector<Record> &r) {
         Record &e = r[results_event(r, 0)];
         genlmsghdr g;
         memcpy(&g, e.data() + NLMSG_HDRLEN, sizeof g);
         g.cmd = NL80211_CMD_SCAN_ABORTED;
         memcpy(e.data() + NLMSG_HDRLEN, &g, sizeof g);
       },
       false},
  };
  for (const auto &c : cases) {
    list_clear();
    diag_reset();
    std::vector<Record> records = nlscript::load("refresh.rec");
    c.edit(records);
    ASSERT_EQ(scan(records), 0) << c.name << ": " << failure();
    EXPECT_EQ(written(0, 0, 1), nlscript::slurp("refresh.out")) << c.name;
    // The budget: 250 ms and 147 times 100 ms, as Wireless Extensions wait.
    EXPECT_EQ(elapsed_us >= 14950000 + 4 * 2000000, c.whole_budget) << c.name;
  }
}

TEST_F(Nl80211Run, OversizedSsidAndRateAbove32Bits) {
  std::vector<Record> records = nlscript::load("refresh.rec");
  const size_t station = requests_of(records, NL80211_CMD_GET_STATION).at(0) + 1;
  nlattr *rate =
      find(records[station].messages().front(),
           {NL80211_ATTR_STA_INFO, NL80211_STA_INFO_TX_BITRATE, NL80211_RATE_INFO_BITRATE32});
  ASSERT_NE(rate, nullptr);
  const uint32_t rate32 = 48039;  // 4803.9 Mbit/s
  memcpy(mnl_attr_get_payload(rate), &rate32, sizeof rate32);
  // lab-open's SSID element swallows the elements after it, up to 33 bytes
  // or more (it has no security element to lose).
  const std::string lab_open("\0\x08lab-open", 10);
  for (Record &r : records) {
    if (r.kind != nlscript::kReply) continue;
    for (nlmsghdr *nlh : r.messages()) {
      nlattr *ies = find(nlh, {NL80211_ATTR_BSS, NL80211_BSS_INFORMATION_ELEMENTS});
      if (ies == nullptr) continue;
      auto *e = static_cast<uint8_t *>(mnl_attr_get_payload(ies));
      const size_t size = mnl_attr_get_payload_len(ies);
      if (size < 10 || memcmp(e, lab_open.data(), 10) != 0) continue;
      size_t len = 8;
      while (len < 33 && 2 + len + 2 <= size) len += 2 + e[2 + len + 1];
      ASSERT_LE(len, 255u);
      e[1] = static_cast<uint8_t>(len);
    }
  }
  ASSERT_EQ(scan(records), 0) << failure();
  EXPECT_EQ(written(0, 0, 1),
            replaced(replaced(nlscript::slurp("refresh.out"), "ESSID:lab-open,", "ESSID:,"),
                     "5 Mbit/s", "4 Gbit/s"));
  EXPECT_EQ(diag_count().oversized, 1u);
}

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
