// SPDX-License-Identifier: MIT
// The flows over scripted primitives: the passes and their failures, how a
// batch meets the list, and the cached run's decisions.
#include "backend/flow.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "backend/backend.h"
#include "diag/diag.h"
#include "netlist/netlist.h"

namespace {

using Bytes = std::vector<uint8_t>;

const scan_request kPlain;

// An RSN element naming CCMP and PSK: "WPA2-PSK".
const Bytes kRsn = {48,   20,   1, 0, 0, 0x0f, 0xac, 4,    1, 0, 0,
                    0x0f, 0xac, 4, 1, 0, 0,    0x0f, 0xac, 2, 0, 0};

struct Cell {
  uint8_t last;  // the address 02:00:00:00:00:<last>
  const char *essid = "";
  bool privacy = false;
  std::vector<int> reports = {};  // 0: "off", 1: kRsn
  bool oversized = false;
  int channel = 0;  // 0: none reported
};
struct Pass {
  int result = kPassDone;
  std::vector<Cell> cells = {};
  uint32_t reported = 1;
};

// The primitives' script and what the flow asked of them.
struct Fake : backend_ctx {
  Fake() {
    ops = nullptr;
    ifname = "wlan0";
    why = nullptr;
    all_suites = false;
    counts = {};
    survey = stale = false;
  }
  int serves = 1;
  bool open = false;
  short flags = IFF_UP;
  bool flags_fail = false;
  link_record link{};
  int association = 1;
  bool target_fail = false;
  link_record figures{false, {}, true, 54000000, {.has_quality = true, .quality = 61},
                      true,  11, {}};
  std::vector<Pass> passes;
  size_t next = 0;
  std::string log;
  std::vector<uint16_t> scanned;  // the frequencies the last pass was asked for
};
Fake *fake(backend_ctx *ctx) { return static_cast<Fake *>(ctx); }

int pass(backend_ctx *ctx, const scan_request *req, cell_batch *batch) {
  Fake *f = fake(ctx);
  EXPECT_TRUE(f->open);
  f->log += req == nullptr ? "D" : req->last ? "L" : "P";
  if (req != nullptr) f->scanned.assign(req->freqs, req->freqs + req->freq_count);
  const Pass &p = f->passes.at(f->next++);
  for (const Cell &c : p.cells) {
    const uint8_t addr[6] = {2, 0, 0, 0, 0, c.last};
    cell_record *cell;
    if (batch->open(addr, &cell) <= 0) continue;
    const Bytes essid(c.essid, c.essid + strlen(c.essid));
    byte_span kept;
    EXPECT_TRUE(batch->keep(essid, &kept) && cell->set_essid(kept));
    cell->privacy = c.privacy;
    cell->essid_oversized = c.oversized;
    cell->has_channel = c.channel != 0;
    cell->channel = c.channel;
    for (int r : c.reports) batch->report(r == 0, r == 0 ? byte_span{} : byte_span(kRsn));
  }
  batch->reported = p.reported;
  batch->fetches = 2;
  if (p.result == kPassFailed) cause_set(ctx->why, nullptr, EIO, "pass %zu", f->next);
  return p.result;
}

const backend_primitives kFake = {
    .freq_room = 3,
    .low_priority = false,
    .open =
        [](backend_ctx *ctx) {
          fake(ctx)->open = true;
          return 0;
        },
    .close = [](backend_ctx *ctx) { fake(ctx)->open = false; },
    .probe = [](backend_ctx *ctx) { return fake(ctx)->serves; },
    .interface =
        [](backend_ctx *ctx, unsigned long request, ifreq *ifr) {
          EXPECT_STREQ(ifr->ifr_name, "wlan0");
          if (request == SIOCSIFFLAGS) fake(ctx)->flags = ifr->ifr_flags;
          ifr->ifr_flags = fake(ctx)->flags;
          return fake(ctx)->flags_fail ? -1 : 0;
        },
    .link =
        [](backend_ctx *ctx, link_record *link) {
          *link = fake(ctx)->link;
          return 0;
        },
    .prepare = [](backend_ctx *) { return 0; },
    .frequencies =
        [](backend_ctx *ctx, uint32_t *mhz, int) {
          fake(ctx)->log += "F";
          const uint32_t have[] = {2412, 2437, 5180, 5200, 60480};
          memcpy(mhz, have, sizeof have);
          return 5;
        },
    .pass = pass,
    .pause = [](backend_ctx *ctx, int ms) { fake(ctx)->log += std::to_string(ms); },
    .association =
        [](backend_ctx *ctx, link_record *link) {
          *link = fake(ctx)->link;
          return fake(ctx)->association;
        },
    .target = [](backend_ctx *ctx) { return fake(ctx)->target_fail ? -1 : 0; },
    .figures = [](backend_ctx *ctx, link_record *f) { *f = fake(ctx)->figures; },
};

// Each entry as "last address byte:essid:current:rate:quality:channel:descriptors".
std::string listed() {
  std::string out;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) {
    out += std::string(e->bssid + 15) + ":" + std::string(e->essid, e->essid_len) + ":" +
           std::to_string(e->current) + ":" + e->bitrate + ":" + std::to_string(e->quality) + ":" +
           std::to_string(e->channel) + ":";
    for (int i = 0; i < e->security_count; i++) out += std::string(i ? "/" : "") + e->security[i];
    out += " ";
  }
  return out;
}

class Flow : public ::testing::Test {
 protected:
  void SetUp() override {
    list_clear();
    why = {};
  }
  void TearDown() override { list_clear(); }
  cause why;
};

TEST_F(Flow, Refresh) {
  const Pass two{kPassDone, {{1, "a"}, {2, "b"}}};
  const link_record ap{true, {2, 0, 0, 0, 0, 2}, true, 144400000, {}, false, 0, {}};
  const struct {
    const char *name;
    int serves;
    short flags;
    link_record link;
    std::vector<Pass> passes;
    int result;
    std::string log;
    std::string list;
    const char *cause;
    const char *code = nullptr;
  } cases[] = {
      {"new addresses only, the first report kept",
       1,
       IFF_UP,
       {},
       {{kPassDone, {{1, "a"}, {1, "again"}}},
        {kPassDone, {{1, "renamed"}, {3, "c"}}},
        two,
        two,
        two},
       0,
       "P2000P2000P2000P2000P",
       "01:a:0::0:0: 03:c:0::0:0: 02:b:0::0:0: ",
       ""},
      {"brought up, the associated cell marked",
       1,
       0,
       ap,
       {two, two, two, two, two},
       0,
       "P2000P2000P2000P2000P",
       "01:a:0::0:0: 02:b:1:144 Mbit/s:0:0: ",
       ""},
      {"a failed pass keeps its cells and ends the run",
       1,
       IFF_UP,
       {},
       {two, {kPassFailed, {{3, "c"}}}},
       -1,
       "P2000P",
       "01:a:0::0:0: 02:b:0::0:0: 03:c:0::0:0: ",
       "pass 2: Input/output error",
       "scan-failed"},
      {"not served: left down", 0, 0, {}, {}, kUnserved, "", "", ""},
      {"timed out",
       1,
       IFF_UP,
       {},
       {{kPassTimedOut}},
       -1,
       "P",
       "",
       "scan on wlan0: no result within 15 s",
       "scan-failed"},
      {"heard nothing",
       1,
       IFF_UP,
       {},
       {two, {kPassDone, {}, 0}},
       -1,
       "P2000P",
       "01:a:0::0:0: 02:b:0::0:0: ",
       "scan on wlan0 found no network",
       "no-network"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Fake f;
    f.serves = c.serves;
    f.flags = c.flags;
    f.link = c.link;
    f.passes = c.passes;
    EXPECT_EQ(backend_refresh(&f, kFake, {}, &why), c.result);
    EXPECT_FALSE(f.open);
    EXPECT_EQ(f.log, c.log);
    EXPECT_EQ(f.flags & IFF_UP, c.serves ? IFF_UP : 0);
    EXPECT_EQ(listed(), c.list);
    EXPECT_STREQ(why.text, c.cause);
    EXPECT_STREQ(why.code, c.code);
    EXPECT_EQ(f.counts.fetches, 2 * f.next);
    EXPECT_EQ(f.counts.passes, c.result == 0 ? 5u : f.next > 0 ? f.next - 1 : 0);
    EXPECT_EQ(f.counts.empty, std::string(c.cause).find("no network") != std::string::npos);
  }
}

// What a refresh is asked: its passes; the kernel's list alone, the
// interface left as it is; frequencies resolved against the interface's
// (2412, 2437, 5180, 5200; a band's own, in its order), only the cells on
// them listed; what cannot be carried refused before anything changes.
TEST_F(Flow, RefreshAsAsked) {
  const Pass both{kPassDone, {{1, "a", false, {}, false, 1}, {2, "b", false, {}, false, 36}}};
  const std::string kBoth = "01:a:0::0:1: 02:b:0::0:36: ";
  const std::string kLacks = "wlan0 does not support 2484 MHz";
  // clang-format off
  const struct {
    scan_request req;
    int result;
    std::string log;
    std::vector<uint16_t> scanned;
    std::string list;
    std::string cause;
  } cases[] = {
      {{.passes = 2}, 0, "P2000P", {}, kBoth, ""},
      {{.last = true}, 0, "L", {}, kBoth, ""},
      {{.low_priority = true}, kRefused, "", {}, "", "wlan0: --low-priority needs -b NL80211"},
      {{.passes = 1, .bands = 2}, 0, "FP", {5180, 5200}, "02:b:0::0:36: ", ""},
      {{.passes = 1, .bands = 1, .freq_count = 1, .freqs = {5200}}, 0, "FP", {2412, 2437, 5200},
       "01:a:0::0:1: ", ""},
      {{.freq_count = 2, .freqs = {2412, 2484}}, kRefused, "F", {}, "", kLacks},
      {{.bands = 3}, kRefused, "F", {}, "", "wlan0: 4 frequencies, 1 to 3 per scan"},
      {{.bands = 4}, kRefused, "F", {}, "", "wlan0: 0 frequencies, 1 to 3 per scan"},
  };
  // clang-format on
  for (const auto &c : cases) {
    SCOPED_TRACE(c.log + c.cause);
    SetUp();
    Fake f;
    f.flags = 0;
    f.passes = {both, both};
    cause refused;
    EXPECT_EQ(backend_refresh(&f, kFake, c.req, &refused), c.result);
    EXPECT_EQ(f.log, c.log);
    EXPECT_EQ(f.scanned, c.scanned);
    EXPECT_EQ(refused.text, c.cause);
    // Brought up only by a scan of its own.
    EXPECT_EQ(f.flags & IFF_UP, c.result == 0 && !c.req.last ? IFF_UP : 0);
    EXPECT_EQ(listed(), c.list);
  }
}

// Descriptors in the order reported, "off" among them; the WEP rule after
// each pass, over the whole list; an oversized ESSID counted once per cell taken.
TEST_F(Flow, MergeAndWepRule) {
  Fake f;
  f.open = true;
  f.why = &why;
  f.passes = {{kPassDone,
               {{1, "", true, {1, 0}},
                {2, "", true, {}},
                {3, "", false, {0}, true},
                {3, "", false, {0}, true}}},
              {kPassDone, {{4, "", true, {0}}}}};
  ASSERT_EQ(backend_pass(&f, pass, {"", "", false}, &kPlain), 0);
  network_entry *cached = list_append_new();
  snprintf(cached->bssid, sizeof cached->bssid, "02:00:00:00:00:09");
  cached->privacy = 1;
  ASSERT_EQ(backend_pass(&f, pass, {"", "", false}, &kPlain), 0);
  EXPECT_EQ(listed(),
            "01::0::0:0:WPA2-PSK/off 02::0::0:0:WEP 03::0::0:0:off 09::0::0:0:WEP "
            "04::0::0:0:off ");
  EXPECT_EQ(f.counts.oversized, 1u);
}

// A new entry's survey record, only where the run wants one, is read from
// its cell: the driver's figures and its elements, spread over reports; the
// associated one's rate with it.
TEST_F(Flow, SurveyFromTheCell) {
  Bytes ht(24);  // HT operation: primary channel 36, 40 MHz above
  ht[0] = 61, ht[1] = 22, ht[2] = 36, ht[3] = 0x05;
  for (const bool wanted : {false, true}) {
    list_clear();
    cell_batch batch;
    cell_record *cell;
    ASSERT_EQ(batch.open({2, 0, 0, 0, 0, 1}, &cell), 1);
    cell->frequency_mhz = 5180, cell->has_last_seen = true, cell->last_seen_ms = 7;
    cell->signal = {.has_level = true, .level_dbm = -60};
    ASSERT_TRUE(batch.report(false, ht) == 0 && batch.report(false, kRsn) == 0);
    diag_counts counts{};
    ASSERT_EQ(merge_batch(batch, {"02:00:00:00:00:01", "54 Mbit/s", false, false, wanted, 54000},
                          &counts),
              0);
    const network_survey *s = list_first()->survey;
    ASSERT_EQ(s != nullptr, wanted);
    if (s == nullptr) continue;
    std::string got;
    for (int n = 0; n < kSurveyNumbers; ++n)
      got += (s->given >> n & 1) != 0 ? std::to_string(s->number[n]) + " " : "- ";
    EXPECT_EQ(got + s->name[kSurveyBand] + " " + s->name[kSurveyStandard] + " " + s->akm,
              "-60 - 5180 40 5190 7 - - - 0 1 54000 5 n PSK ");
  }
}

// A directed pass takes only the associated cell, with the rate given.
TEST_F(Flow, DirectedPass) {
  Fake f;
  f.open = true;
  f.why = &why;
  f.passes = {{kPassDone, {{1, "a"}, {2, "b"}}}};
  ASSERT_EQ(backend_pass(&f, pass, {"02:00:00:00:00:02", "", true}, nullptr), 0);
  EXPECT_EQ(f.log, "D");
  EXPECT_EQ(listed(), "02:b:1::0:0: ");
}

// The cached run: what the interface and the link say, what the list holds,
// and what a directed pass finds.
TEST_F(Flow, Current) {
  const link_record ap{true, {2, 0, 0, 0, 0, 2}, true, 1000, {}, false, 0, {}};
  const Pass found{kPassDone, {{1, "other"}, {2, "home"}}};
  const std::string kCache = "09:cafe:0::42:1: ";
  const struct {
    const char *name;
    bool in_cache;
    short flags;
    int association;
    link_record link;
    bool target_fail;
    std::vector<Pass> passes;
    int result, added;
    std::string list;  // after the cafe entry
  } cases[] = {
      {"cached: refreshed", true, IFF_UP, 1, ap, false, {}, 0, 0, "02:home:1:54 Mbit/s:61:11: "},
      {"interface down", true, 0, 1, ap, false, {}, 0, 0, "02:home:0::42:1: "},
      {"not associated", false, IFF_UP, 0, ap, false, {}, 0, 0, ""},
      {"association unreadable", false, IFF_UP, -1, ap, false, {}, -1, 0, ""},
      {"added by the directed pass",
       false,
       IFF_UP,
       1,
       ap,
       false,
       {found},
       0,
       1,
       "02:home:1:54 Mbit/s:61:11: "},
      {"the directed pass fails after it",
       false,
       IFF_UP,
       1,
       ap,
       false,
       {{kPassFailed, {{2, "home"}}}},
       0,
       1,
       "02:home:1:54 Mbit/s:61:11: "},
      {"not reported", false, IFF_UP, 1, ap, false, {{kPassDone, {{1, "other"}}}}, 0, 0, ""},
      {"no target", false, IFF_UP, 1, ap, true, {}, -1, 0, ""},
      {"no real address: searched, never found", false, IFF_UP, 1, {}, false, {found}, 0, 0, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    network_entry *cafe = list_append_new();
    snprintf(cafe->bssid, sizeof cafe->bssid, "02:00:00:00:00:09");
    cafe->essid_len = static_cast<uint32_t>(snprintf(cafe->essid, sizeof cafe->essid, "cafe"));
    cafe->quality = 42;
    cafe->channel = 1;
    if (c.in_cache) {
      network_entry *e = list_append_new();
      *e = *cafe;
      e->next = nullptr;
      snprintf(e->bssid, sizeof e->bssid, "02:00:00:00:00:02");
      e->essid_len = static_cast<uint32_t>(snprintf(e->essid, sizeof e->essid, "home"));
      // A second entry of the address is never touched.
      network_entry *again = list_append_new();
      *again = *e;
      again->next = nullptr;
    }
    Fake f;
    f.flags = c.flags;
    f.association = c.association;
    f.link = c.link;
    f.target_fail = c.target_fail;
    f.passes = c.passes;
    int added = -1;
    EXPECT_EQ(backend_current(&f, kFake, &added, &why), c.result);
    // A directed pass's own failure is not the run's; a down interface's
    // cause is kept for the document's warning.
    EXPECT_EQ(why.code != nullptr, f.stale);
    EXPECT_FALSE(f.open);
    EXPECT_EQ(added, c.added);
    EXPECT_EQ(f.next, c.passes.size());
    EXPECT_EQ(listed(), kCache + c.list + (c.in_cache ? "02:home:0::42:1: " : ""));
  }
  // For the document: the associated entry's live level and rate; a down
  // or missing interface is no live data, and says why.
  for (const auto &[flags, fails, want] :
       {std::tuple<short, bool, std::string>{IFF_UP, false, "0 2049 -61 54000"},
        {0, false, "1 wlan0 is down"},
        {IFF_UP, true, "1 SIOCGIFFLAGS on wlan0: No such device"}}) {
    SetUp();
    network_entry *e = list_append_new();
    snprintf(e->bssid, sizeof e->bssid, "02:00:00:00:00:02");
    Fake f;
    f.survey = true, f.link = ap, f.flags = flags, f.flags_fail = fails, errno = ENODEV;
    f.figures.dbm = {.has_level = true, .level_dbm = -61};
    int added;
    cause stale;
    EXPECT_EQ(backend_current(&f, kFake, &added, &stale), 0);
    const network_survey *s = e->survey;
    EXPECT_EQ(std::to_string(f.stale) + " " +
                  (s == nullptr
                       ? std::string(stale.text)
                       : std::to_string(s->given) + " " + std::to_string(s->number[kSurveySignal]) +
                             " " + std::to_string(s->number[kSurveyBitrate])),
              want);
  }
  // An empty list asks nothing.
  SetUp();
  Fake f;
  int added = -1;
  EXPECT_EQ(backend_current(&f, kFake, &added, &why), 0);
  EXPECT_EQ(added, 0);
}

}  // namespace
