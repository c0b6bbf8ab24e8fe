// The netlink traffic of a refresh run and of a cached run that the VM suite
// recorded from the real kernel (mac80211_hwsim, hostapd, wpa_supplicant;
// tests/vm/run.sh with LUMRA_VM_RECORD=1), replayed through the parsers the
// backend uses: the replies must give the line and the cache file that lumra
// printed and wrote in that boot.
#include <gtest/gtest.h>
#include <linux/genetlink.h>
#include <linux/nl80211.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend/common.h"
#include "backend/nl80211/messages.h"
#include "backend/nl80211/netlink.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"

namespace {

const std::string kDir = std::string(LUMRA_SOURCE_DIR) + "/src/backend/nl80211/fixtures/";

std::string slurp(const std::string &name) {
  std::string out;
  FILE *f = fopen((kDir + name).c_str(), "rb");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

// One recorded datagram, in an aligned copy of exactly its length (rounded
// up to whole words).
struct Record {
  int kind;  // 0 request, 1 reply, 2 event
  std::vector<uint32_t> words;
  size_t len;
  nl_bytes bytes() const { return {reinterpret_cast<const uint8_t *>(words.data()), len}; }
  nlmsghdr header() const {
    nlmsghdr h;
    memcpy(&h, words.data(), sizeof h);
    return h;
  }
  int genl_cmd() const {
    genlmsghdr g;
    memcpy(&g, reinterpret_cast<const uint8_t *>(words.data()) + NLMSG_HDRLEN, sizeof g);
    return g.cmd;
  }
};

std::vector<Record> load(const std::string &name) {
  const std::string raw = slurp(name);
  std::vector<Record> out;
  size_t at = 0;
  while (at + 8 <= raw.size()) {
    uint32_t len;
    memcpy(&len, raw.data() + at + 4, sizeof len);
    Record r{static_cast<uint8_t>(raw[at]), std::vector<uint32_t>((len + 3) / 4), len};
    memcpy(r.words.data(), raw.data() + at + 8, len);
    out.push_back(std::move(r));
    at += 8 + (len + 3) / 4 * 4;
  }
  return out;
}

// What a replay found, step by step as the operations take them.
struct Replay {
  nl_family family{};
  nl_interface iface{};
  nl_association assoc{};
  nl_station station{};
  int stations = 0;
  char ap_addr[18] = "";
  char ap_rate[11] = "";
  bool directed = false;
  int triggers = 0;
  int results_events = 0;
  int scan_dumps = 0;
  int bss_messages = 0;
  int unfinished = 0;  // replies that did not reach their end
};

int on_reply(const nlmsghdr *nlh, void *data);

struct Pending {
  Replay *replay;
  int cmd;
  bool ctrl;
};

int on_reply(const nlmsghdr *nlh, void *data) {
  auto *p = static_cast<Pending *>(data);
  Replay *r = p->replay;
  if (p->ctrl) return nl_parse_family(nlh, &r->family);
  switch (p->cmd) {
    case NL80211_CMD_GET_INTERFACE:
      return nl_parse_interface(nlh, &r->iface);
    case NL80211_CMD_GET_STATION:
      ++r->stations;
      return nl_parse_station(nlh, &r->station);
    case NL80211_CMD_GET_SCAN: {
      // Before the first trigger: the association snapshot.
      if (r->triggers == 0) return nl_take_association(nlh, &r->assoc);
      nl_bss bss;
      if (nl_parse_bss(nlh, &bss) != 0) return -1;
      ++r->bss_messages;
      return nl_add_bss(bss, nl_cell_rules{r->ap_addr, r->ap_rate, r->directed});
    }
    default:
      return -1;  // a trigger is only acknowledged
  }
}

int on_event(const nlmsghdr *nlh, void *data) {
  auto *r = static_cast<Replay *>(data);
  nl_scan_event e;
  if (nl_parse_scan_event(nlh, &e) != 0) return -1;
  if (e.cmd == NL80211_CMD_NEW_SCAN_RESULTS && e.ifindex == r->iface.ifindex) ++r->results_events;
  return 0;
}

// Replays the records; after the association snapshot (and its station
// query), ap_addr and ap_rate hold what the link snapshot records.
void replay(const std::vector<Record> &records, Replay *r) {
  Pending p{r, -1, false};
  uint32_t seq = 0;
  bool open = false;
  for (const Record &rec : records) {
    if (rec.kind == 0) {
      EXPECT_FALSE(open) << "a request before the reply to the last one ended";
      p.cmd = rec.genl_cmd();
      p.ctrl = rec.header().nlmsg_type == GENL_ID_CTRL;
      seq = rec.header().nlmsg_seq;
      open = true;
      if (p.cmd == NL80211_CMD_TRIGGER_SCAN && !p.ctrl) ++r->triggers;
      continue;
    }
    if (rec.kind == 2) {
      EXPECT_EQ(nl_walk_events(rec.bytes(), on_event, r), 0);
      continue;
    }
    ASSERT_TRUE(open) << "a reply without a request";
    nl_walk_result w = nl_walk_reply(rec.bytes(), seq, rec.header().nlmsg_pid, on_reply, &p);
    ASSERT_NE(w, kNlFailed) << "command " << p.cmd << ": errno " << errno;
    if (w == kNlMore) continue;
    open = false;
    if (p.ctrl) continue;
    if (p.cmd == NL80211_CMD_GET_SCAN && r->triggers == 0 && r->assoc.found)
      nl_format_addr(r->assoc.bssid, r->ap_addr);
    if (p.cmd == NL80211_CMD_GET_STATION && r->triggers == 0 && r->station.has_tx_rate)
      format_bitrate(nl_tx_bps(r->station), r->ap_rate, sizeof r->ap_rate);
    if (p.cmd == NL80211_CMD_GET_SCAN && r->triggers > 0) {
      ++r->scan_dumps;
      nl_apply_wep_rule();
    }
  }
  r->unfinished = open ? 1 : 0;
}

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

std::string associated_address() {
  const std::string link = slurp("link");
  const std::string prefix = "Connected to ";
  if (link.compare(0, prefix.size(), prefix) != 0) return "";
  std::string addr = link.substr(prefix.size(), 17);
  for (char &c : addr) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return addr;
}

class NlFixtures : public ::testing::Test {
 protected:
  void SetUp() override { list_clear(); }
  void TearDown() override { list_clear(); }
};

TEST_F(NlFixtures, RefreshRunGivesTheLineAndCacheOfTheVm) {
  const std::vector<Record> records = load("refresh.rec");
  ASSERT_GT(records.size(), 20u);
  Replay r;
  replay(records, &r);
  EXPECT_EQ(r.unfinished, 0);
  EXPECT_NE(r.family.id, 0);
  EXPECT_NE(r.family.scan_group, 0u);
  EXPECT_EQ(r.iface.iftype, static_cast<uint32_t>(NL80211_IFTYPE_STATION));
  ASSERT_TRUE(r.assoc.found);
  EXPECT_EQ(std::string(r.ap_addr), associated_address());
  EXPECT_STREQ(r.ap_rate, "5 Mbit/s");  // iw: tx bitrate 5.5 MBit/s
  EXPECT_EQ(r.triggers, 5);
  EXPECT_EQ(r.results_events, 5);
  EXPECT_EQ(r.scan_dumps, 5);
  EXPECT_EQ(r.bss_messages, 35);  // seven networks in each pass
  EXPECT_EQ(written(0, 0, 1), slurp("refresh.out"));
  EXPECT_EQ(written(1, 1, 0), slurp("refresh.cache"));
}

TEST_F(NlFixtures, CachedRunAddsTheAssociatedNetworkByADirectedScan) {
  FILE *before = fopen((kDir + "cached.before").c_str(), "r");
  ASSERT_NE(before, nullptr);
  ASSERT_EQ(read_cache(before), 0);
  fclose(before);
  const std::vector<Record> records = load("cached.rec");
  Replay r;
  // A cached run takes no link snapshot: its directed scan sees no rate.
  r.directed = true;
  replay(records, &r);
  EXPECT_EQ(r.unfinished, 0);
  ASSERT_TRUE(r.assoc.found);
  EXPECT_EQ(r.triggers, 1);
  EXPECT_EQ(r.results_events, 1);
  EXPECT_EQ(r.stations, 1);
  network_entry *entry = list_find_bssid(r.ap_addr);
  ASSERT_NE(entry, nullptr);
  nl_refresh_entry(entry, r.assoc, &r.station);
  EXPECT_EQ(written(0, 0, 1), slurp("cached.out"));
  EXPECT_EQ(written(1, 1, 0), slurp("cached.after"));
}

// The recorded dump cut at every length: only a cut between two whole
// messages leaves a valid (unfinished) reply; every other cut fails, and
// nothing is read outside the cut datagram.
TEST_F(NlFixtures, EveryTruncationOfARecordedDumpFails) {
  const std::vector<Record> records = load("refresh.rec");
  const Record *dump = nullptr;
  uint32_t seq = 0;
  for (size_t i = 0; i + 1 < records.size(); ++i) {
    if (records[i].kind == 0 && records[i].genl_cmd() == NL80211_CMD_GET_SCAN &&
        records[i + 1].len > 1000) {
      dump = &records[i + 1];
      seq = records[i].header().nlmsg_seq;
      break;
    }
  }
  ASSERT_NE(dump, nullptr);
  std::vector<size_t> boundaries;
  for (size_t at = 0; at < dump->len;) {
    nlmsghdr h;
    memcpy(&h, reinterpret_cast<const uint8_t *>(dump->words.data()) + at, sizeof h);
    at += NLMSG_ALIGN(h.nlmsg_len);
    boundaries.push_back(at);
  }
  ASSERT_GE(boundaries.size(), 2u);
  const uint32_t port = dump->header().nlmsg_pid;
  for (size_t cut = 1; cut < dump->len; ++cut) {
    list_clear();
    std::vector<uint32_t> copy((cut + 3) / 4);
    memcpy(copy.data(), dump->words.data(), cut);
    Replay r;
    Pending p{&r, NL80211_CMD_GET_SCAN, false};
    r.triggers = 1;
    nl_walk_result w = nl_walk_reply({reinterpret_cast<const uint8_t *>(copy.data()), cut}, seq,
                                     port, on_reply, &p);
    bool boundary = false;
    for (size_t b : boundaries) boundary = boundary || b == cut;
    EXPECT_EQ(w, boundary ? kNlMore : kNlFailed) << "cut at " << cut;
  }
}

}  // namespace
