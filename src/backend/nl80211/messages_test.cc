// SPDX-License-Identifier: MIT
// BSS, station, interface, family and event messages as the kernel sends
// them, and the entries that BSSs become.
#include "backend/nl80211/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "backend/flow.h"
#include "backend/nl80211/test_messages.h"
#include "diag/diag.h"
#include "netlist/netlist.h"

namespace {

class NlMessages : public ::testing::Test {
 protected:
  void SetUp() override { list_clear(); }
  void TearDown() override { list_clear(); }

  // Parses fields as one message and adds it under rules; the result of each step.
  static int add(const BssFields &fields, const cell_rules &rules = {"", "", false},
                 diag_counts *counts = nullptr) {
    Datagram d;
    put_bss(d, fields);
    nl_bss bss;
    if (nl_parse_bss(first(d), &bss) != 0) return -2;
    cell_batch batch;
    if (nl_bss_cell(bss, &batch) != 0) return -1;
    diag_counts ignored{};
    return merge_batch(batch, rules, counts != nullptr ? counts : &ignored);
  }
  // The entry of fields alone in a fresh list and diagnostics.
  static const network_entry &only(const BssFields &fields, diag_counts *counts = nullptr) {
    static const network_entry kNone{};
    list_clear();
    EXPECT_EQ(add(fields, {"", "", false}, counts), 0);
    return list_first() != nullptr ? *list_first() : kNone;
  }
  static std::string essid(const network_entry &e) { return std::string(e.essid, e.essid_len); }
  static std::string security(const network_entry &e) {
    std::string s;
    for (int i = 0; i < e.security_count; ++i) s.append(i > 0 ? "/" : "").append(e.security[i]);
    return s;
  }
  // Every field of an entry, to compare whole.
  static std::string fields(const network_entry &e) {
    return std::string(e.bssid) + "|" + essid(e) + "|" + e.mode + "|" + std::to_string(e.channel) +
           "|" + std::to_string(e.quality) + "|" + std::to_string(e.privacy) + "|" + security(e) +
           "|" + std::to_string(e.wps) + "|" + std::to_string(e.current) + "|" + e.bitrate;
  }
};

TEST_F(NlMessages, BssBecomesEntry) {
  const struct {
    const char *what;
    BssFields bss;
    std::string fields;
  } cases[] = {
      // Quality (-45 + 110) * 100 / 70.
      {"every field",
       {.frequency = 2437,
        .capability = 0x0011,  // ESS, privacy
        .ies = concat({ssid_element("home, 2nd floor"), rsn_element(2)})},
       "02:00:00:00:01:00|home, 2nd floor|Master|6|92|1|WPA2-PSK|0|0|"},
      {"no optional attribute",
       {.frequency = -1, .capability = -1, .kind = 0, .ies_present = false},
       "02:00:00:00:01:00|||0|0|0|off|0|0|"},  // no privacy bit: off
  };
  for (const auto &c : cases) {
    EXPECT_EQ(fields(only(c.bss)), c.fields) << c.what;
    EXPECT_EQ(list_next(), nullptr);
  }
}

// The quality that cfg80211's Wireless Extensions view gives for each
// signal, through the shared percentage rule.
TEST_F(NlMessages, ScanQualityFollowsTheWirelessExtensionsView) {
  const struct {
    int kind;
    int32_t signal;
    int quality;
  } cases[] = {
      {1, -3000, 100}, {1, -4000, 100}, {1, -4099, 100},  // -40 after truncation
      {1, -7550, 50},  {1, -11000, 0},  {1, -12000, 0},  {1, 0, 100}, {1, 500, 100},
      {2, 60, 60},     {2, 100, 100},   {2, 0, 0},       {0, 0, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(only({.kind = c.kind, .signal = c.signal}).quality, c.quality)
        << "kind " << c.kind << " signal " << c.signal;
}

TEST_F(NlMessages, ModeFromCapabilityAndMesh) {
  const struct {
    int32_t capability;
    std::vector<uint8_t> extra;
    const char *mode;
  } cases[] = {
      {0x0001, {}, "Master"}, {0x0002, {}, "Ad-Hoc"},
      {0x0003, {}, "Master"}, {0x0000, {}, ""},
      {-1, {}, ""},           {0x0001, element(113, {1, 1, 0, 0, 0, 0, 0}), ""},
  };
  for (const auto &c : cases)
    EXPECT_STREQ(
        only({.capability = c.capability, .ies = concat({ssid_element("x"), c.extra})}).mode,
        c.mode)
        << "capability " << c.capability;
}

TEST_F(NlMessages, SsidElements) {
  const std::string longest(32, 'z');
  const std::vector<uint8_t> b33(33, 'a');
  const struct {
    std::vector<uint8_t> ies;
    bool ies_present;
    std::string essid;
    uint32_t oversized;  // over 32 bytes: passed over, the cell listed and counted
  } cases[] = {
      {ssid_element("lab-open"), true, "lab-open", 0},
      {{}, false, "", 0},                                         // no elements at all
      {element(1, {0x82, 0x84}), true, "", 0},                    // no SSID element
      {element(0, {}), true, "", 0},                              // hidden: empty SSID
      {element(0, {0, 0, 0, 0}), true, std::string(4, '\0'), 0},  // hidden: zeroed SSID
      {ssid_element(longest.c_str()), true, longest, 0},
      {element(0, b33), true, "", 1},
      {element(114, std::vector<uint8_t>(255, 'a')), true, "", 1},
      {concat({element(0, b33), ssid_element("later")}), true, "later", 1},
      {concat({ssid_element("first"), ssid_element("second")}), true, "second", 0},
      {concat({ssid_element("kept"), element(0, {})}), true, "kept", 0},
      {{0, 5, 'a', 'b'}, true, "", 0},                        // runs past the end: not an element
      {element(114, {'m', 'e', 's', 'h'}), true, "mesh", 0},  // mesh ID
  };
  for (const auto &c : cases) {
    diag_counts counts{};
    EXPECT_EQ(essid(only({.ies_present = c.ies_present, .ies = c.ies}, &counts)), c.essid);
    EXPECT_EQ(counts.oversized, c.oversized) << c.essid;
  }
}

TEST_F(NlMessages, MalformedMessagesFail) {
  const struct {
    const char *what;
    BssFields bss;
  } cases[] = {
      {"no BSS attribute", {.bss_present = false}},
      {"no BSSID", {.bssid = {}}},
      {"short BSSID", {.bssid = {1, 2, 3, 4, 5}}},
      {"long BSSID", {.bssid = {1, 2, 3, 4, 5, 6, 7}}},
  };
  for (const auto &c : cases) EXPECT_EQ(add(c.bss), -2) << c.what;
  EXPECT_EQ(list_first(), nullptr);

  // A frequency of the wrong size, a nested run whose last attribute is cut
  // short, and two BSSs in one message.
  for (const auto &[frequency_size, cut, nests] :
       {std::tuple{2, 0, 1}, std::tuple{4, 2, 1}, std::tuple{4, 0, 2}}) {
    Datagram d;
    nlmsghdr *nlh = d.begin(0x1c, NL80211_CMD_NEW_SCAN_RESULTS);
    nlattr *nest = nullptr;
    for (int n = 0; n < nests; ++n) {
      nest = mnl_attr_nest_start(nlh, NL80211_ATTR_BSS);
      const uint8_t bssid[6] = {2, 0, 0, 0, 1, static_cast<uint8_t>(n)};
      const uint32_t frequency = 2412;
      mnl_attr_put(nlh, NL80211_BSS_BSSID, sizeof bssid, bssid);
      mnl_attr_put(nlh, NL80211_BSS_FREQUENCY, frequency_size, &frequency);
      mnl_attr_nest_end(nlh, nest);
    }
    ASSERT_NE(nest, nullptr);
    nest->nla_len = static_cast<uint16_t>(nest->nla_len - cut);
    d.end();
    nl_bss bss;
    EXPECT_EQ(nl_parse_bss(first(d), &bss), -1) << frequency_size << " " << cut << " " << nests;
  }
  // Another command.
  Datagram other;
  other.begin(0x1c, NL80211_CMD_NEW_STATION);
  other.end();
  nl_bss bss;
  EXPECT_EQ(nl_parse_bss(first(other), &bss), -1);
}

TEST(NlChannel, OfFrequencies) {
  const struct {
    uint32_t mhz;
    int channel;
  } cases[] = {{2412, 1}, {2472, 13},  {2484, 14}, {5180, 36}, {5825, 165},
               {5955, 1}, {4920, 184}, {2413, -1}, {60480, -1}};
  for (const auto &c : cases) EXPECT_EQ(nl_channel(c.mhz), c.channel) << c.mhz;
}

TEST_F(NlMessages, SecurityAndTheWepRule) {
  const struct {
    int32_t capability;
    std::vector<uint8_t> ies;
    const char *security;
  } cases[] = {
      {0x0001, ssid_element("open"), "off"},
      {0x0011, ssid_element("wep"), "WEP"},
      {0x0011, concat({ssid_element("psk"), rsn_element(2)}), "WPA2-PSK"},
      {0x0012,
       concat({ssid_element("adhoc"), element(221, {0x00, 0x50, 0xF2, 4, 0x10, 0x4A, 0, 1, 0x10})}),
       "WPS/WEP"},
      // A WMM element carries the WPA OUI: the shared walker names it "unknown".
      {0x0002, concat({ssid_element("ibss"), element(221, {0x00, 0x50, 0xF2, 2, 0, 1, 0})}),
       "off/unknown"},
  };
  for (const auto &c : cases) {
    only({.capability = c.capability, .ies = c.ies});
    apply_wep_rule();
    EXPECT_EQ(security(*list_first()), c.security);
  }
}

TEST_F(NlMessages, BssStatusMarksTheAssociation) {
  // An ad-hoc interface's joined cell is its association, as under Wireless
  // Extensions.
  const struct {
    int status;  // -1: no status attribute
    bool found;
  } cases[] = {{NL80211_BSS_STATUS_ASSOCIATED, true},
               {NL80211_BSS_STATUS_IBSS_JOINED, true},
               {NL80211_BSS_STATUS_AUTHENTICATED, false},
               {-1, false}};
  for (const auto &c : cases) {
    Datagram d;
    put_bss(d, {.status = c.status});
    nl_bss bss;
    ASSERT_EQ(nl_parse_bss(first(d), &bss), 0);
    EXPECT_EQ(bss.status, c.status < 0 ? kNoStatus : static_cast<uint32_t>(c.status));
    EXPECT_EQ(bss.signal_kind, kSignalMbm);
    nl_association as{};
    ASSERT_EQ(nl_take_association(first(d), &as), 0);
    EXPECT_EQ(as.found, c.found) << c.status;
  }
}

// Station messages and the /proc/net/wireless figure that the Wireless
// Extensions backend reads for them.
TEST_F(NlMessages, StationRateAndLinkQuality) {
  auto station = [](int signal, int rate32, int rate16, bool tx) {
    Datagram d;
    nlmsghdr *nlh = d.begin(0x1c, NL80211_CMD_NEW_STATION);
    mnl_attr_put_u32(nlh, NL80211_ATTR_IFINDEX, 5);
    nlattr *info = mnl_attr_nest_start(nlh, NL80211_ATTR_STA_INFO);
    mnl_attr_put_u32(nlh, NL80211_STA_INFO_INACTIVE_TIME, 10);
    if (signal != 1) mnl_attr_put_u8(nlh, NL80211_STA_INFO_SIGNAL, static_cast<uint8_t>(signal));
    if (tx) {
      nlattr *rate = mnl_attr_nest_start(nlh, NL80211_STA_INFO_TX_BITRATE);
      if (rate16 >= 0)
        mnl_attr_put_u16(nlh, NL80211_RATE_INFO_BITRATE, static_cast<uint16_t>(rate16));
      if (rate32 >= 0)
        mnl_attr_put_u32(nlh, NL80211_RATE_INFO_BITRATE32, static_cast<uint32_t>(rate32));
      mnl_attr_nest_end(nlh, rate);
    }
    mnl_attr_nest_end(nlh, info);
    d.end();
    nl_station st;
    EXPECT_EQ(nl_parse_station(first(d), &st), 0);
    return st;
  };
  nl_station st = station(-50, 55, 55, true);
  EXPECT_TRUE(st.has_signal);
  EXPECT_EQ(st.signal, -50);
  EXPECT_TRUE(st.has_tx_rate);
  EXPECT_EQ(st.tx_rate, 55u);
  EXPECT_EQ(station(-50, 70000, -1, true).tx_rate, 70000u);  // above 16 bits: BITRATE32 only
  EXPECT_EQ(station(-50, -1, 540, true).tx_rate, 540u);
  EXPECT_EQ(station(-50, -1, -1, true).tx_rate, 0u);  // a rate without a figure
  EXPECT_FALSE(station(-50, 10, 10, false).has_tx_rate);
  EXPECT_FALSE(station(1, 10, 10, true).has_signal);

  struct Case {
    uint8_t kind;
    int signal;  // 1: none
    int percent;
  } const cases[] = {
      {kSignalMbm, -50, 85}, {kSignalMbm, -40, 100},  {kSignalMbm, -30, 100}, {kSignalMbm, -110, 0},
      {kSignalMbm, -75, 50}, {kSignalMbm, 0, 70},  // level 0: quality capped
      {kSignalMbm, 1, 0},    {kSignalUnspec, 40, 40}, {kSignalNone, -50, 0},
  };
  for (const Case &c : cases) {
    nl_station s = station(c.signal, 10, 10, true);
    EXPECT_EQ(signal_percent(nl_link_signal(c.kind, &s)), c.percent)
        << int(c.kind) << " " << c.signal;
  }
  EXPECT_EQ(signal_percent(nl_link_signal(kSignalMbm, nullptr)), 0);

  // The rate in 64 bits: Wi-Fi 6 4x4 and Wi-Fi 7 rates pass 2^32 bit/s.
  const struct {
    int rate32;
    uint64_t bps;
  } rates[] = {{55, 5500000}, {48039, 4803900000}, {460000, 46000000000}};
  for (const auto &r : rates) {
    const nl_station s = station(-50, r.rate32, -1, true);
    link_record f{};
    nl_link_record(nl_association{}, &s, &f);
    EXPECT_TRUE(f.has_rate);
    EXPECT_EQ(f.rate_bps, r.bps) << r.rate32;
  }
}

TEST_F(NlMessages, FamilyInterfaceAndScanEvents) {
  Datagram f;
  nlmsghdr *nlh = f.begin(GENL_ID_CTRL, CTRL_CMD_NEWFAMILY);
  mnl_attr_put_strz(nlh, CTRL_ATTR_FAMILY_NAME, "nl80211");
  mnl_attr_put_u16(nlh, CTRL_ATTR_FAMILY_ID, 0x1c);
  nlattr *groups = mnl_attr_nest_start(nlh, CTRL_ATTR_MCAST_GROUPS);
  const char *names[] = {"config", "scan", "regulatory"};
  for (uint16_t i = 0; i < 3; ++i) {
    nlattr *g = mnl_attr_nest_start(nlh, static_cast<uint16_t>(i + 1));
    mnl_attr_put_u32(nlh, CTRL_ATTR_MCAST_GRP_ID, 5u + i);
    mnl_attr_put_strz(nlh, CTRL_ATTR_MCAST_GRP_NAME, names[i]);
    mnl_attr_nest_end(nlh, g);
  }
  mnl_attr_nest_end(nlh, groups);
  f.end();
  nl_family family;
  ASSERT_EQ(nl_parse_family(first(f), &family), 0);
  EXPECT_EQ(family.id, 0x1c);
  EXPECT_EQ(family.scan_group, 6u);

  Datagram i;
  nlh = i.begin(0x1c, NL80211_CMD_NEW_INTERFACE);
  mnl_attr_put_u32(nlh, NL80211_ATTR_IFINDEX, 5);
  mnl_attr_put_strz(nlh, NL80211_ATTR_IFNAME, "wlan0");
  mnl_attr_put_u32(nlh, NL80211_ATTR_IFTYPE, NL80211_IFTYPE_AP);
  i.end();
  nl_interface iface;
  ASSERT_EQ(nl_parse_interface(first(i), &iface), 0);
  EXPECT_EQ(iface.ifindex, 5u);
  EXPECT_EQ(iface.iftype, static_cast<uint32_t>(NL80211_IFTYPE_AP));

  Datagram e;
  nlh = e.begin(0x1c, NL80211_CMD_SCAN_ABORTED);
  mnl_attr_put_u32(nlh, NL80211_ATTR_WIPHY, 0);
  mnl_attr_put_u32(nlh, NL80211_ATTR_IFINDEX, 9);
  e.end();
  nl_scan_event event;
  ASSERT_EQ(nl_parse_scan_event(first(e), &event), 0);
  EXPECT_EQ(event.cmd, NL80211_CMD_SCAN_ABORTED);
  EXPECT_EQ(event.ifindex, 9u);

  // An interface index of the wrong size fails the event.
  Datagram bad;
  nlh = bad.begin(0x1c, NL80211_CMD_NEW_SCAN_RESULTS);
  mnl_attr_put_u16(nlh, NL80211_ATTR_IFINDEX, 9);
  bad.end();
  EXPECT_EQ(nl_parse_scan_event(first(bad), &event), -1);
}

// What a scan request carries, read back attribute by attribute.
struct ScanRequestSeen {
  uint32_t ifindex = 0;
  int flags = -1;  // -1: no NL80211_ATTR_SCAN_FLAGS
  std::vector<std::string> ssids;
  std::vector<uint32_t> freqs;
};

ScanRequestSeen built_request(const nl_scan_request &req) {
  Datagram d;
  nlmsghdr *nlh = d.begin(0x1c, NL80211_CMD_TRIGGER_SCAN);
  nl_put_scan_request(nlh, req);
  d.end();
  ScanRequestSeen seen;
  if (const nlattr *a = find(nlh, {NL80211_ATTR_IFINDEX})) seen.ifindex = mnl_attr_get_u32(a);
  if (const nlattr *a = find(nlh, {NL80211_ATTR_SCAN_FLAGS}))
    seen.flags = static_cast<int>(mnl_attr_get_u32(a));
  for (const nlattr *a : nested(find(nlh, {NL80211_ATTR_SCAN_SSIDS})))
    seen.ssids.emplace_back(static_cast<const char *>(mnl_attr_get_payload(a)),
                            mnl_attr_get_payload_len(a));
  for (const nlattr *a : nested(find(nlh, {NL80211_ATTR_SCAN_FREQUENCIES})))
    seen.freqs.push_back(mnl_attr_get_u32(a));
  return seen;
}

// A wiphy's frequencies from its bands' nests, disabled ones and the
// rates beside them passed over, at most room of them; another message
// fails.
TEST(NlWiphy, Frequencies) {
  Datagram d;
  nlmsghdr *nlh = d.begin(0x1c, NL80211_CMD_NEW_WIPHY);
  nlattr *bands = mnl_attr_nest_start(nlh, NL80211_ATTR_WIPHY_BANDS);
  for (const auto &band : {std::vector<uint32_t>{2412, 2467 | 1u << 31}, {5180, 5200}}) {
    nlattr *b = mnl_attr_nest_start(nlh, band[0] < 5000 ? NL80211_BAND_2GHZ : NL80211_BAND_5GHZ);
    nlattr *rates = mnl_attr_nest_start(nlh, NL80211_BAND_ATTR_RATES);
    nlattr *rate = mnl_attr_nest_start(nlh, 0);
    mnl_attr_put_u32(nlh, NL80211_BITRATE_ATTR_RATE, 60);
    mnl_attr_nest_end(nlh, rate);
    mnl_attr_nest_end(nlh, rates);
    nlattr *freqs = mnl_attr_nest_start(nlh, NL80211_BAND_ATTR_FREQS);
    for (uint32_t f : band) {  // the top bit: disabled
      nlattr *freq = mnl_attr_nest_start(nlh, 0);
      mnl_attr_put_u32(nlh, NL80211_FREQUENCY_ATTR_FREQ, f & 0xffff);
      if (f >> 31) mnl_attr_put(nlh, NL80211_FREQUENCY_ATTR_DISABLED, 0, nullptr);
      mnl_attr_nest_end(nlh, freq);
    }
    mnl_attr_nest_end(nlh, freqs);
    mnl_attr_nest_end(nlh, b);
  }
  mnl_attr_nest_end(nlh, bands);
  d.end();
  for (const int room : {8, 2}) {
    uint32_t mhz[8] = {};
    nl_freqs f{mhz, room, 0, 0, 0, false};
    ASSERT_EQ(nl_parse_wiphy_freqs(first(d), &f), 0);
    const uint32_t want[] = {2412, 5180, 5200};
    EXPECT_EQ(f.count, std::min(room, 3));
    EXPECT_TRUE(std::equal(mhz, mhz + f.count, want));
  }
  Datagram other;
  other.begin(0x1c, NL80211_CMD_NEW_INTERFACE);
  other.end();
  nl_freqs none{nullptr, 0, 0, 0, 0, false};
  EXPECT_EQ(nl_parse_wiphy_freqs(first(other), &none), -1);
}

// The AP flag for an access point only; a passive scan names no SSID (so
// sends no probe request); frequencies and the low-priority flag as asked;
// a directed scan probes for its SSID on its frequency alone.
TEST(NlScanRequest, AttributesAsAsked) {
  nl_association home{};
  home.ssid_len = 4;
  memcpy(home.ssid, "home", 4);
  home.frequency = 2437;
  nl_association hidden = home;
  hidden.ssid_len = 0;
  const scan_request plain,
      limited{.passive = true, .low_priority = true, .freq_count = 2, .freqs = {2412, 5180}};
  constexpr int kNone = -1;
  constexpr int kLow = NL80211_SCAN_FLAG_LOW_PRIORITY;
  struct Case {
    uint32_t iftype;
    const nl_association *directed;
    const scan_request *scan;
    int flags;
    std::vector<std::string> ssids;  // empty: no SSIDS attribute
    std::vector<uint32_t> freqs;
  } const cases[] = {
      {NL80211_IFTYPE_STATION, nullptr, &plain, kNone, {""}, {}},
      {NL80211_IFTYPE_ADHOC, nullptr, &plain, kNone, {""}, {}},
      {NL80211_IFTYPE_P2P_GO, nullptr, &plain, kNone, {""}, {}},
      {NL80211_IFTYPE_AP, nullptr, &plain, NL80211_SCAN_FLAG_AP, {""}, {}},
      {NL80211_IFTYPE_STATION, &home, nullptr, kNone, {"home"}, {2437}},
      {NL80211_IFTYPE_STATION, &hidden, nullptr, kNone, {""}, {2437}},  // the wildcard
      {NL80211_IFTYPE_AP, &home, nullptr, NL80211_SCAN_FLAG_AP, {"home"}, {2437}},
      {NL80211_IFTYPE_STATION, nullptr, &limited, kLow, {}, {2412, 5180}},
      {NL80211_IFTYPE_AP, nullptr, &limited, kLow | NL80211_SCAN_FLAG_AP, {}, {2412, 5180}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.iftype << (c.directed ? " directed" : "") << c.flags);
    const ScanRequestSeen seen = built_request({5, c.iftype, c.directed, c.scan});
    EXPECT_EQ(seen.ifindex, 5u);
    EXPECT_EQ(seen.flags, c.flags);
    EXPECT_EQ(seen.ssids, c.ssids);
    EXPECT_EQ(seen.freqs, c.freqs);
  }
}

// The limited request's bytes after the generic netlink header, as the
// kernel reads them: ifindex, the frequencies nested, the flags.
TEST(NlScanRequest, LimitedRequestBytes) {
  const scan_request limited{.passive = true,
                             .low_priority = true,
                             .freq_count = 2,
                             .freqs = {2412, 5745}};
  Datagram d;
  nlmsghdr *nlh = d.begin(0x1c, NL80211_CMD_TRIGGER_SCAN);
  nl_put_scan_request(nlh, {7, NL80211_IFTYPE_STATION, nullptr, &limited});
  d.end();
  const nl_bytes all = d.bytes();
  const std::vector<uint8_t> after_header(all.begin() + NLMSG_HDRLEN + GENL_HDRLEN, all.end());
  EXPECT_EQ(after_header, (std::vector<uint8_t>{
                              8,  0, 3,   0,    7,    0,    0, 0,  // IFINDEX 7
                              20, 0, 44,  0x80,                    // SCAN_FREQUENCIES, nested
                              8,  0, 1,   0,    0x6c, 0x09, 0, 0,  //   1: 2412
                              8,  0, 2,   0,    0x71, 0x16, 0, 0,  //   2: 5745
                              8,  0, 158, 0,    1,    0,    0, 0,  // SCAN_FLAGS: LOW_PRIORITY
                          }));
}

}  // namespace
