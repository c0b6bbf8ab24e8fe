// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "backend/we/test_we.h"
#include "backend/we/we.h"
#include "diag/diag.h"
#include "netlist/netlist.h"
#include "netlist/netlist_alloc.h"
#include "fakewext.h"

namespace {

using fakewext::Bytes;
using fakewext::Cell;
namespace ev = fakewext::ev;
using we_test::listed;

// Elements as access points send them.
Bytes rsn(const std::vector<uint8_t> &akm_types) {
  Bytes e = {0x30, 0, 0x01, 0x00, 0x00, 0x0f, 0xac, 0x04, 0x01, 0x00, 0x00, 0x0f, 0xac, 0x04};
  e.push_back(static_cast<uint8_t>(akm_types.size()));
  e.push_back(0);
  for (uint8_t t : akm_types) e.insert(e.end(), {0x00, 0x0f, 0xac, t});
  e[1] = static_cast<uint8_t>(e.size() - 2);
  return e;
}
const Bytes kWpaPsk = {0xdd, 0x16, 0x00, 0x50, 0xf2, 0x01, 0x01, 0x00, 0x00, 0x50, 0xf2, 0x02,
                       0x01, 0x00, 0x00, 0x50, 0xf2, 0x02, 0x01, 0x00, 0x00, 0x50, 0xf2, 0x02};
// WPS with the Config Methods attribute (push button) first.
const Bytes kWpsPbc = {0xdd, 0x0a, 0x00, 0x50, 0xf2, 0x04, 0x10, 0x08, 0x00, 0x02, 0x00, 0x80};

std::string custom_text(const char *prefix, const Bytes &elements) {
  std::string text(prefix);
  text.append(elements.begin(), elements.end());
  return text;
}

// Elements as hexadecimal text, as most drivers write them after the prefix.
std::string custom_hex(const char *prefix, const Bytes &elements) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(prefix);
  for (uint8_t b : elements) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

Bytes concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An RSN element long enough that its hex text, read as element bytes, walks
// onto an RSN element id ('0'): PSK and SAE, capabilities, one PMKID.
Bytes long_rsn() {
  Bytes e = rsn({2, 8});
  e.insert(e.end(), {0xcc, 0x00, 0x01, 0x00});
  e.insert(e.end(), 16, 0x5a);
  e[1] = static_cast<uint8_t>(e.size() - 2);
  return e;
}

// Custom events of distinct elements that give no descriptor (WPA with a
// group cipher without OUI), size element bytes in all (at least 12), each
// text within libiw's 256 characters.
std::vector<fakewext::Event> hex_padding(size_t size) {
  std::vector<fakewext::Event> out;
  for (uint8_t n = 0; size > 0; n++) {
    const size_t take = size > 122 + 12 ? 122 : size;
    Bytes e = {0xdd, static_cast<uint8_t>(take - 2), 0x00, 0x50, 0xf2, 0x01, 0x01, 0x00, 0, 0, 0,
               n};
    e.resize(take, n);
    out.push_back(ev::custom(custom_hex("wpa_ie=", e)));
    size -= take;
  }
  return out;
}

std::vector<fakewext::Event> then(std::vector<fakewext::Event> first,
                                  std::initializer_list<fakewext::Event> more) {
  first.insert(first.end(), more);
  return first;
}

iw_range test_range(uint8_t version = 22) {
  iw_range range;
  memset(&range, 0, sizeof range);
  range.we_version_compiled = version;
  range.max_qual = {70, static_cast<uint8_t>(-110), 0, IW_QUAL_DBM};
  const int mhz[] = {2412, 2437, 2462, 5180};
  const int chan[] = {1, 6, 11, 36};
  for (int i = 0; i < 4; i++) {
    range.freq[i] = fakewext::freq_of_mhz(mhz[i]);
    range.freq[i].i = static_cast<uint8_t>(chan[i]);
  }
  range.num_frequency = 4;
  return range;
}

std::vector<std::string> slots(const network_entry *e) {
  std::vector<std::string> out;
  for (int i = 0; i < e->security_count; i++) out.emplace_back(e->security[i]);
  return out;
}

// The records of the list as text, to compare two walks.
std::string records() {
  std::string out;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) {
    char fields[96];
    snprintf(fields, sizeof fields, "%s|%s|%d|%u|%u|%u|%u|", e->bssid, e->mode, e->channel,
             e->quality, e->privacy, e->wps, e->current);
    out.append(fields).append(e->essid, e->essid_len);
    for (const std::string &s : slots(e)) out.append("|").append(s);
    out.append("\n");
  }
  return out;
}

class Decode : public ::testing::Test {
 protected:
  void SetUp() override {
    list_clear();
    range = test_range();
  }
  void TearDown() override { list_clear(); }
  int decode(const std::vector<Cell> &cells) {
    return decode_bytes(fakewext::encode_scan(cells, range.we_version_compiled));
  }
  int decode_bytes(Bytes stream) {
    return we_test::decode(reinterpret_cast<char *>(stream.data()), static_cast<int>(stream.size()),
                           range, &counts);
  }
  // One cell with the given events after its address; its entry, or null.
  network_entry *one(std::vector<fakewext::Event> events, int *result = nullptr) {
    events.insert(events.begin(), ev::ap("02:00:00:00:00:01"));
    int r = decode({events});
    if (result != nullptr) *result = r;
    return list_find_bssid("02:00:00:00:00:01");
  }
  diag_counts counts{};

  iw_range range{};
};

TEST_F(Decode, CellFieldsFromEvents) {
  ASSERT_EQ(decode({{ev::ap("00:11:22:AA:BB:CC"), ev::channel(6), ev::freq_mhz(2437),
                     ev::mode(IW_MODE_MASTER), ev::essid("home net"), ev::encode_off(),
                     ev::rate(54000000)}}),
            0);
  EXPECT_EQ(records(), "00:11:22:AA:BB:CC|Master|6|0|0|0|0|home net|off\n");
  EXPECT_STREQ(list_first()->bitrate, "");  // a cell's own rates are not recorded
}

// What the site survey takes from a cell's events beside the entry's fields:
// the frequency in MHz (not a channel number's) and cfg80211's age.
TEST_F(Decode, FrequencyAndAgeOfTheCell) {
  const std::tuple<fakewext::Event, fakewext::Event, std::string> cases[] = {
      {ev::channel(11), ev::freq_mhz(2462), "2462 -1"},
      {ev::freq_mhz(100000), ev::custom(" Last beacon: 4294967295ms ago"), "0 4294967295"},
      {ev::custom("Last beacon: 5s ago"), ev::custom("Last beacon: 4294967296ms ago"), "0 -1"},
  };

  for (const auto &[first, second, want] : cases) {
    Bytes stream = fakewext::encode_scan({{ev::ap("02:00:00:00:00:01"), first, second}},
                                         range.we_version_compiled);
    cell_batch batch;
    we_decode_scan(reinterpret_cast<char *>(stream.data()), static_cast<int>(stream.size()), &range,
                   &batch);
    ASSERT_EQ(batch.cells().size(), 1u);
    const cell_record &c = batch.cells()[0];
    EXPECT_EQ(std::to_string(c.frequency_mhz) + " " +
                  std::to_string(c.has_last_seen ? int64_t{c.last_seen_ms} : -1),
              want);
  }
}

// One cell of the given events: its mode, channel, privacy, ESSID and
// security descriptors, and how many oversized ESSIDs were counted.
TEST_F(Decode, OneCell) {
  const std::string b32(32, 'x');
  const std::string with_nul("a\0b", 3);
  const Bytes rsn_psk = rsn({2});
  // The length claims bytes that the event does not carry: libiw drops the
  // pointer.
  fakewext::Event bogus = ev::essid("abc");
  bogus.u.essid.length = 20;
  const fakewext::Event on = ev::encode_on(), off = ev::encode_off();
  const fakewext::Event wpa = ev::genie(kWpaPsk), wps = ev::genie(kWpsPbc),
                        rsn_e = ev::genie(rsn_psk);
  const fakewext::Event hex_wpa = ev::custom(custom_hex("wpa_ie=", kWpaPsk));
  const fakewext::Event hex_rsn = ev::custom(custom_hex("rsn_ie=", rsn_psk));
  const struct {
    const char *name;
    std::vector<fakewext::Event> events;
    std::string want;  // "mode|channel|privacy|essid" and "|descriptor" each
    uint32_t oversized = 0;
  } cases[] = {
      {"mode 0", {ev::mode(0)}, "|0|0|"},
      {"mode 1", {ev::mode(1)}, "Ad-Hoc|0|0|"},
      {"mode 2", {ev::mode(2)}, "Master|0|0|"},
      {"mode 3", {ev::mode(3)}, "Master|0|0|"},
      {"mode 4", {ev::mode(4)}, "|0|0|"},
      {"mode 6", {ev::mode(6)}, "|0|0|"},
      {"mode 8", {ev::mode(8)}, "|0|0|"},
      {"mode 0xffffffff", {ev::mode(0xffffffff)}, "|0|0|"},
      {"no frequency event", {}, "|0|0|"},
      {"listed frequency", {ev::freq_mhz(2462)}, "|11|0|"},
      {"second frequency replaces the first", {ev::freq_mhz(2412), ev::freq_mhz(5180)}, "|36|0|"},
      {"channel number event alone", {ev::channel(149)}, "|149|0|"},
      {"upper 5 GHz missing from the range", {ev::channel(149), ev::freq_mhz(5745)}, "|149|0|"},
      {"6 GHz", {ev::freq_mhz(6115)}, "|33|0|"},
      {"off every plan", {ev::freq_mhz(3000)}, "|-2|0|"},
      {"plain ESSID", {ev::essid("cafe")}, "|0|0|cafe"},
      {"32 bytes whole", {ev::essid(b32)}, "|0|0|" + b32},
      {"any byte value", {ev::essid(with_nul)}, "|0|0|" + with_nul},
      // Over 32 bytes (a malformed beacon): passed over and counted once per
      // cell.
      {"33 bytes", {ev::essid(b32 + "y")}, "|0|0|", 1},
      {"64 bytes, which libiw drops", {ev::essid(b32 + b32)}, "|0|0|", 1},
      {"two oversized in one cell", {ev::essid(b32 + "y"), ev::essid(b32 + "yy")}, "|0|0|", 1},
      {"a later one is taken", {ev::essid(b32 + "y"), ev::essid("mesh")}, "|0|0|mesh", 1},
      {"length 0 leaves it empty", {ev::essid("")}, "|0|0|"},
      {"ESSID without its payload", {bogus}, "|0|0|"},
      {"disabled", {off}, "|0|0||off"},
      {"enabled, no elements", {on}, "|0|1||WEP"},
      {"enabled with WPA2", {on, rsn_e}, "|0|1||WPA2-PSK"},
      {"enabled with WPA and WPA2", {on, wpa, ev::genie(rsn({1}))}, "|0|1||WPA-PSK|WPA2-802.1X"},
      {"enabled, WPS only", {on, wps}, "|0|1||WPS-PBC|WEP"},
      {"open with WPS", {off, wps}, "|0|0||off|WPS-PBC"},
      {"custom rsn_ie text", {ev::custom(custom_text("rsn_ie=", rsn({2})))}, "|0|0||WPA2-PSK"},
      {"custom wpa_ie text", {ev::custom(custom_text("wpa_ie=", kWpaPsk))}, "|0|0||WPA-PSK"},
      {"only three characters compared",
       {ev::custom(custom_text("wpaXXXX", kWpaPsk))},
       "|0|0||WPA-PSK"},
      {"other custom text", {ev::custom(custom_text("tsf_ie=", kWpaPsk))}, "|0|0|"},
      {"custom text of five characters", {ev::custom("wpa_i")}, "|0|0|"},
      {"custom text of two characters", {ev::custom("rs")}, "|0|0|"},
      // Hex only (the Atheros and Ralink station drivers).
      {"rsn_ie hex", {on, hex_rsn}, "|0|1||WPA2-PSK"},
      {"wpa_ie hex", {on, hex_wpa}, "|0|1||WPA-PSK"},
      {"uppercase digits",
       {ev::custom("wpa_ie=DD160050F20101000050F20201000050F20201000050F202")},
       "|0|0||WPA-PSK"},
      {"two elements in one text",
       {ev::custom(custom_hex("wpa_ie=", concat(kWpaPsk, rsn({1}))))},
       "|0|0||WPA-PSK|WPA2-802.1X"},
      // Hex, then the same element as a generic element event (Realtek).
      {"hex then the same element", {on, hex_rsn, rsn_e}, "|0|1||WPA2-PSK"},
      {"long element as hex then the same element",
       {on, ev::custom(custom_hex("rsn_ie=", long_rsn())), ev::genie(long_rsn())},
       "|0|1||WPA2-PSK|WPA2-SAE"},
      {"the same generic element twice",
       {wpa, ev::genie(concat(kWpaPsk, kWpsPbc))},
       "|0|0||WPA-PSK|WPS-PBC"},
      {"different elements all read", {hex_wpa, rsn_e}, "|0|0||WPA-PSK|WPA2-PSK"},
      // Past 1 KiB of copies an element is read without being remembered.
      {"the copies' bound", then(hex_padding(1011), {hex_wpa, wpa}), "|0|0||WPA-PSK|WPA-PSK"},
      // Not hex: the bytes themselves, as before.
      {"odd number of digits", {ev::custom("wpa_ie=dd1")}, "|0|0|"},
      {"an element and one digit more",
       {ev::custom(custom_hex("rsn_ie=", rsn_psk) + "0")},
       "|0|0|"},
      {"a character that is no digit",
       {ev::custom(custom_text("rsn_ie=", rsn_psk))},
       "|0|0||WPA2-PSK"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    list_clear();
    counts = {};
    int result = -1;
    network_entry *e = one(c.events, &result);
    EXPECT_EQ(result, 0);
    ASSERT_NE(e, nullptr);
    std::string got = std::string(e->mode) + "|" + std::to_string(e->channel) + "|" +
                      std::to_string(e->privacy) + "|" + std::string(e->essid, e->essid_len);
    for (const std::string &slot : slots(e)) got += "|" + slot;
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(counts.oversized, c.oversized);
  }
}

TEST_F(Decode, HexTextReadsLikeTheElementBytes) {
  // Whatever the bytes, hex text and a generic element event give the same
  // descriptors: cut short, foreign, WPS, six slots' worth.
  Bytes cut = rsn({2});
  cut.resize(cut.size() - 3);
  const Bytes foreign = {0xdd, 0x08, 0x00, 0x10, 0x18, 0x02, 0x00, 0x00, 0x1c, 0x00};
  const Bytes cases[] = {cut, foreign, kWpsPbc, rsn({1, 2, 0, 1, 2, 0, 1}),
                         concat(rsn({2}), Bytes{0xdd, 0x01, 0x00, 0x30})};
  for (const Bytes &elements : cases) {
    list_clear();
    network_entry *raw = one({ev::genie(elements)});
    ASSERT_NE(raw, nullptr);
    std::vector<std::string> expected = slots(raw);
    list_clear();
    network_entry *hex = one({ev::custom(custom_hex("wpa_ie=", elements))});
    ASSERT_NE(hex, nullptr);
    EXPECT_EQ(slots(hex), expected) << custom_hex("", elements);
  }
}

TEST_F(Decode, SixSlotsInUseDropFurtherDescriptors) {
  // Six AKM suites fill every slot; "off" and a further element are dropped,
  // and the next cell is still decoded.
  ASSERT_EQ(decode({{ev::ap("02:00:00:00:00:01"), ev::genie(rsn({1, 2, 0, 1, 2, 0})),
                     ev::encode_off(), ev::genie(kWpaPsk)},
                    {ev::ap("02:00:00:00:00:02"), ev::essid("next")}}),
            0);
  EXPECT_EQ(records(),
            "02:00:00:00:00:01||0|0|0|0|0||WPA2-802.1X|WPA2-PSK|WPA2-none|WPA2-802.1X|WPA2-PSK|"
            "WPA2-none\n02:00:00:00:00:02||0|0|0|0|0|next\n");
}

// An entry with privacy and no descriptor is given "WEP" at the end of each
// walk, once: also one filled before the walk, and never one that has
// descriptors.
TEST_F(Decode, WepRule) {
  network_entry *old = list_append_new();
  ASSERT_NE(old, nullptr);
  snprintf(old->bssid, sizeof old->bssid, "02:00:00:00:00:09");
  old->privacy = 1;
  ASSERT_EQ(decode({{ev::ap("02:00:00:00:00:01"), ev::encode_on()}}), 0);
  ASSERT_EQ(decode({{ev::ap("02:00:00:00:00:02"), ev::encode_on(), ev::genie(kWpsPbc)}}), 0);
  const std::string three =
      "02:00:00:00:00:09||0|0|1|0|0||WEP\n02:00:00:00:00:01||0|0|1|0|0||WEP\n"
      "02:00:00:00:00:02||0|0|1|1|0||WPS-PBC|WEP\n";
  EXPECT_EQ(records(), three);
  ASSERT_EQ(decode({{ev::ap("02:00:00:00:00:03")}}), 0);
  EXPECT_EQ(records(), three + "02:00:00:00:00:03||0|0|0|0|0|\n");
}

TEST_F(Decode, Quality) {
  iw_range dbm = test_range();  // maximum quality 70, dBm levels
  iw_range relative = test_range();
  relative.max_qual = {50, 255, 0, 0};
  const struct {
    const char *name;
    const iw_range &range;
    std::vector<fakewext::Event> events;
    int quality;
  } cases[] = {
      {"dBm record", dbm, {ev::qual(35, 0xc8, 0, 0x08)}, 50},
      {"level 0 without dBm ignored", dbm, {ev::qual(35, 0, 0, 0x07)}, 0},
      {"level 0 with dBm used", dbm, {ev::qual(35, 0, 0, 0x08)}, 50},
      {"invalid quality ignored", dbm, {ev::qual(35, 0xc8, 0, 0x18)}, 0},
      {"later record replaces", dbm, {ev::qual(35, 0xc8, 0, 0x08), ev::qual(7, 0xc8, 0, 0x08)}, 10},
      {"above 100 stored as 100", dbm, {ev::qual(200, 0xc8, 0, 0x08)}, 100},
      {"RCPI gives none", dbm, {ev::qual(35, 0xc8, 0, 0x80)}, 0},
      {"RCPI keeps the earlier figure",
       dbm,
       {ev::qual(35, 0xc8, 0, 0x08), ev::qual(60, 0x90, 0, 0x80)},
       50},
      {"relative record", relative, {ev::qual(40, 10, 0, 0)}, 80},
      {"signed-byte rule below zero gives none", relative, {ev::qual(200, 10, 0, 0)}, 0},
  };
  for (const auto &c : cases) {
    list_clear();
    range = c.range;
    std::vector<fakewext::Event> events = c.events;
    events.insert(events.begin(), ev::ap("02:00:00:00:00:01"));
    // A second cell shows that the walk went on.
    EXPECT_EQ(decode({events, {ev::ap("02:00:00:00:00:02")}}), 0) << c.name;
    ASSERT_EQ(listed().size(), 2u) << c.name;
    EXPECT_EQ(listed()[0]->quality, c.quality) << c.name;
  }
}

TEST_F(Decode, EventsBeforeTheFirstAddressChangeNothing) {
  network_entry *old = list_append_new();
  ASSERT_NE(old, nullptr);
  Bytes stray = fakewext::encode_events({ev::essid("stray"), ev::mode(1), ev::freq_mhz(2412),
                                         ev::encode_off()},
                                        22);
  Bytes cell = fakewext::encode_scan({{ev::ap("02:00:00:00:00:01"), ev::essid("real")}}, 22);
  stray.insert(stray.end(), cell.begin(), cell.end());
  ASSERT_EQ(decode_bytes(stray), 0);
  EXPECT_EQ(records(), "||0|0|0|0|0|\n02:00:00:00:00:01||0|0|0|0|0|real\n");
}

// A malformed end of the result ends the walk, keeping what came before. An
// element whose own length runs past the buffer is never handed on.
TEST_F(Decode, MalformedTailEndsTheWalk) {
  Bytes stream = fakewext::encode_scan({{ev::ap("02:00:00:00:00:01"), ev::encode_on()},
                                        {ev::ap("02:00:00:00:00:02")}},
                                       22);
  Bytes cut(stream.begin(), stream.end() - 3);
  Bytes half_header = stream;
  half_header.push_back(0x30);
  Bytes overlong = stream;
  // An event header claiming 200 bytes, followed by only 12.
  overlong.insert(overlong.end(), {200, 0, 0x15, 0x8b, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0x03});
  Bytes element = fakewext::encode_scan({{ev::ap("02:00:00:00:00:01"), ev::genie(rsn({2}))}}, 22);
  element.resize(element.size() - 4);
  const std::string first = "02:00:00:00:00:01||0|0|1|0|0||WEP\n";
  const std::string second = "02:00:00:00:00:02||0|0|0|0|0|\n";
  const struct {
    const char *name;
    const Bytes &bytes;
    std::string records;
  } cases[] = {{"last event cut short", cut, first},
               {"half a header after the last event", half_header, first + second},
               {"event longer than the rest", overlong, first + second},
               {"element past the end", element, "02:00:00:00:00:01||0|0|0|0|0|\n"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    list_clear();
    EXPECT_EQ(decode_bytes(c.bytes), 0);
    EXPECT_EQ(records(), c.records);
  }
}

TEST_F(Decode, OldStreamLayout) {
  // Up to version 18 a 64-bit kernel keeps the pointer inside pointer events;
  // libiw's copy of such events must stay within memory of the decoder's
  // (the sanitizer build checks). The cells are still listed.
  range = test_range(18);
  ASSERT_EQ(decode({{ev::ap("02:00:00:00:00:01"), ev::essid("old"), ev::encode_off(),
                     ev::genie(rsn({2})), ev::freq_mhz(2437)},
                    {ev::ap("02:00:00:00:00:02"), ev::mode(1)}}),
            0);
  std::vector<network_entry *> all = listed();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]->channel, 6);
  EXPECT_STREQ(all[1]->mode, "Ad-Hoc");
}

// Walks `stream` from a heap block of exactly its size (the sanitizer build
// reports any read past it), then followed by zeros and by 0xff bytes: bytes
// after the result never reach a record. The records of the exact walk.
std::string walk_alone(const Bytes &stream, const iw_range &range) {
  std::string seen[3];
  for (int pass = 0; pass < 3; pass++) {
    list_clear();
    const size_t after = pass == 0 ? 0 : 32;
    char *block = static_cast<char *>(malloc(stream.size() + after));
    memcpy(block, stream.data(), stream.size());
    memset(block + stream.size(), pass == 2 ? 0xff : 0, after);
    we_test::decode(block, static_cast<int>(stream.size()), range);
    free(block);
    seen[pass] = records();
  }
  EXPECT_EQ(seen[1], seen[0]);
  EXPECT_EQ(seen[2], seen[0]);
  return seen[0];
}

TEST_F(Decode, FuzzFoundReadPastTheResult) {
  // decode_fuzz's find: a cell, an 8-byte transmit power event and a 6-byte
  // unknown event. libiw takes the 8-byte event for a 64-bit kernel's layout
  // under a 32-bit program and copies its value from 4 bytes further on,
  // past the end of the 39-byte result.
  const Bytes result = {0x18, 0x00, 0x15, 0x8b, 0x00, 0x3c, 0x66, 0x73, 0x00, 0x00,
                        0x06, 0x00, 0x01, 0x00, 0x00, 0x26, 0x00, 0x00, 0x6f, 0x66,
                        0x66, 0x69, 0x63, 0x65, 0x08, 0x00, 0x26, 0x8b, 0x66, 0x73,
                        0x00, 0x00, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(walk_alone(result, range), "06:00:01:00:00:26||0|0|0|0|0|\n");
}

TEST_F(Decode, NoEventShapeReadsPastTheResult) {
  // A command of each layout libiw knows (none, name, number, frequency,
  // address, pointer with its token rules, parameter, quality) and unknown
  // ones, at each length up to past the largest fixed part, as the last event
  // or followed by the start of a further one, in both stream layouts.
  const uint16_t cmds[] = {SIOCSIWCOMMIT, SIOCGIWNAME, SIOCGIWMODE, SIOCGIWFREQ, SIOCGIWAP,
                           SIOCGIWESSID,  SIOCGIWSCAN, SIOCGIWSPY,  SIOCSIWMLME, SIOCGIWRATE,
                           IWEVQUAL,      IWEVGENIE,   IWEVCUSTOM,  SIOCIWLAST,  0x0001};
  const Bytes cell = fakewext::encode_scan({{ev::ap("02:00:00:00:00:01")}}, 22);
  for (uint8_t version : {18, 22}) {
    range = test_range(version);
    for (uint16_t cmd : cmds) {
      for (uint8_t len = 5; len <= 24; len++) {
        for (uint8_t rest = 0; rest <= 20; rest = rest == 0 ? 5 : rest + 1) {
          Bytes stream = cell;
          Bytes event(len, 0);
          event[0] = len;
          event[1] = 0;
          memcpy(&event[2], &cmd, 2);
          stream.insert(stream.end(), event.begin(), event.end());
          if (rest > 0) {
            Bytes next(rest, 0);
            next[0] = rest;
            stream.insert(stream.end(), next.begin(), next.end());
          }
          SCOPED_TRACE(testing::Message()
                       << "version " << int(version) << " cmd " << std::hex << cmd << std::dec
                       << " len " << int(len) << " rest " << int(rest));
          walk_alone(stream, range);
          if (HasFailure()) return;
        }
      }
    }
  }
}

void *no_memory(size_t, size_t) { return nullptr; }

int g_allocations = 0;
void *second_fails(size_t count, size_t size) {
  return ++g_allocations == 1 ? calloc(count, size) : nullptr;
}

TEST_F(Decode, ExhaustedMemoryFailsTheWalk) {
  netlist_internal::scoped_entry_alloc fail(no_memory);
  EXPECT_EQ(decode({{ev::ap("02:00:00:00:00:01"), ev::encode_on()}}), -1);
  EXPECT_EQ(list_first(), nullptr);
}

TEST_F(Decode, FailureKeepsEarlierEntriesAndSkipsWepRule) {
  g_allocations = 0;
  netlist_internal::scoped_entry_alloc fail(second_fails);
  ASSERT_EQ(decode({{ev::ap("02:00:00:00:00:01"), ev::encode_on()},
                    {ev::ap("02:00:00:00:00:02"), ev::essid("next")}}),
            -1);
  EXPECT_EQ(records(), "02:00:00:00:00:01||0|0|1|0|0|\n");
}

}  // namespace
