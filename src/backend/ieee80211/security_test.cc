// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/ieee80211/ieee80211.h"
#include "netlist/netlist.h"

namespace {

// "30 02 01 00" -> bytes.
std::vector<unsigned char> hex(const std::string &text) {
  std::vector<unsigned char> out;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == ' ') {
      ++pos;
      continue;
    }
    out.push_back(static_cast<unsigned char>(std::stoul(text.substr(pos, 2), nullptr, 16)));
    pos += 2;
  }
  return out;
}

std::string cat(std::initializer_list<std::string> parts) {
  std::string s;
  for (const std::string &p : parts) s += p + " ";
  return s;
}

// Elements used across the tables.
const std::string kRsnPsk =  // CCMP group and pairwise, AKM PSK, capabilities
    "30 14 01 00 00 0F AC 04 01 00 00 0F AC 04 01 00 00 0F AC 02 0C 00";
const std::string kWpaPsk =
    "DD 16 00 50 F2 01 01 00 00 50 F2 02 01 00 00 50 F2 02 01 00 00 50 F2 02";
const std::string kWpsPbc = "DD 0F 00 50 F2 04 10 44 00 01 02 10 08 00 02 00 80";
const std::string kForeignVendor = "DD 07 00 11 22 01 02 03 04";
const std::string kWmmParams =
    "DD 18 00 50 F2 02 01 01 80 00 03 A4 00 00 27 A4 00 00 42 43 5E 00 62 32 2F 00";

// An RSN element with CCMP group and pairwise and the given AKM selectors.
std::string rsn_with_akms(const std::vector<std::string> &selectors) {
  char head[64];
  const size_t length = 2 + 4 + 2 + 4 + 2 + 4 * selectors.size();
  snprintf(head, sizeof head, "30 %02zX 01 00 00 0F AC 04 01 00 00 0F AC 04 %02zX 00", length,
           selectors.size());
  std::string s = head;
  for (const std::string &sel : selectors) s += " " + sel;
  return s;
}

struct Walk {
  network_entry entry;
  int result = 0;

  Walk() { memset(&entry, 0, sizeof entry); }

  void preset(const std::vector<std::string> &descriptors) {
    for (const std::string &d : descriptors) {
      snprintf(entry.security[entry.security_count], sizeof entry.security[0], "%s", d.c_str());
      ++entry.security_count;
    }
  }

  void run(const std::string &elements) {
    const std::vector<unsigned char> bytes = hex(elements);
    // An exactly sized heap copy, so AddressSanitizer sees any read past it.
    unsigned char *copy = static_cast<unsigned char *>(malloc(bytes.size() ? bytes.size() : 1));
    if (!bytes.empty()) memcpy(copy, bytes.data(), bytes.size());
    result = parse_security_ies(&entry, copy, static_cast<int>(bytes.size()));
    free(copy);
  }

  std::vector<std::string> descriptors() const {
    std::vector<std::string> out;
    for (int i = 0; i < entry.security_count && i < 6; ++i) {
      EXPECT_LT(strnlen(entry.security[i], sizeof entry.security[i]), sizeof entry.security[i])
          << "slot " << i << " not terminated";
      out.emplace_back(entry.security[i]);
    }
    return out;
  }
};

using Texts = std::vector<std::string>;

struct Case {
  const char *what;
  std::string elements;
  Texts expected;
  uint32_t wps;
};

void check(const Case &c, const Texts &before = {}) {
  Walk w;
  w.preset(before);
  w.run(c.elements);
  EXPECT_EQ(w.result, 0) << c.what;
  Texts want = before;
  want.insert(want.end(), c.expected.begin(), c.expected.end());
  EXPECT_EQ(w.descriptors(), want) << c.what;
  EXPECT_EQ(w.entry.wps, c.wps) << c.what;
}

TEST(SecurityElements, KeyManagementExamples) {
  const Case cases[] = {
      {"rsn psk, capabilities not read", kRsnPsk, {"WPA2-PSK"}, 0},
      {"wpa psk", kWpaPsk, {"WPA-PSK"}, 0},
      {"rsn psk then 802.1x",
       rsn_with_akms({"00 0F AC 02", "00 0F AC 01"}),
       {"WPA2-PSK", "WPA2-802.1X"},
       0},
      {"rsn 802.1x", rsn_with_akms({"00 0F AC 01"}), {"WPA2-802.1X"}, 0},
      {"rsn none", rsn_with_akms({"00 0F AC 00"}), {"WPA2-none"}, 0},
      {"wpa 802.1x",
       "DD 16 00 50 F2 01 01 00 00 50 F2 02 01 00 00 50 F2 02 01 00 00 50 F2 01",
       {"WPA-802.1X"},
       0},
      {"two pairwise suites move the akm list",
       "30 18 01 00 00 0F AC 04 02 00 00 0F AC 04 00 0F AC 02 01 00 00 0F AC 02 0C 00",
       {"WPA2-PSK"},
       0},
      {"wpa element of oui type 2 read as wpa",
       "DD 16 00 50 F2 02 01 00 00 50 F2 02 01 00 00 50 F2 02 01 00 00 50 F2 02",
       {"WPA-PSK"},
       0},
  };
  for (const Case &c : cases) check(c);
}

TEST(SecurityElements, RejectedElementsGiveUnknown) {
  const Case cases[] = {
      {"rsn first akm type 3", rsn_with_akms({"00 0F AC 03"}), {"unknown"}, 0},
      {"rsn first akm type 8", rsn_with_akms({"00 0F AC 08", "00 0F AC 02"}), {"unknown"}, 0},
      {"rsn first akm oui 00:50:F2", rsn_with_akms({"00 50 F2 02"}), {"unknown"}, 0},
      {"wpa first akm oui 00:0F:AC",
       "DD 16 00 50 F2 01 01 00 00 50 F2 02 01 00 00 50 F2 02 01 00 00 0F AC 02",
       {"unknown"},
       0},
      {"rsn version only", "30 02 01 00", {"unknown"}, 0},
      {"rsn akm selector cut by length",
       "30 11 01 00 00 0F AC 04 01 00 00 0F AC 04 01 00 00 0F AC 02 0C 00",
       {"unknown"},
       0},
      {"rsn akm count cut", "30 0C 01 00 00 0F AC 04 01 00 00 0F AC 04", {"unknown"}, 0},
      {"rsn pairwise count cut", "30 06 01 00 00 0F AC 04", {"unknown"}, 0},
      {"rsn pairwise list cut", "30 0A 01 00 00 0F AC 04 02 00 00 0F", {"unknown"}, 0},
      {"rsn group cipher type 0",
       "30 14 01 00 00 0F AC 00 01 00 00 0F AC 04 01 00 00 0F AC 02 0C 00",
       {"unknown"},
       0},
      {"rsn akm count 0", "30 0E 01 00 00 0F AC 04 01 00 00 0F AC 04 00 00", {"unknown"}, 0},
      {"rsn akm count 0, capabilities after",
       "30 12 01 00 00 0F AC 04 01 00 00 0F AC 04 00 00 00 0F AC 02",
       {"unknown"},
       0},
      {"vendor element of another oui", kForeignVendor, {"unknown"}, 0},
      {"another oui with a whole wpa body",
       "DD 16 00 11 22 01 01 00 00 50 F2 02 01 00 00 50 F2 02 01 00 00 50 F2 02",
       {"unknown"},
       0},
      {"another oui of type 4 with a wps body",
       "DD 0F 00 11 22 04 10 44 00 01 02 10 08 00 02 00 80",
       {"unknown"},
       0},
      {"oui type 2 shorter than 12 bytes", "DD 09 00 50 F2 02 01 01 00 50 F2", {"unknown"}, 0},
      {"vendor element shorter than 8 bytes", "DD 04 00 50 F2 04", {"unknown"}, 0},
      {"wmm parameter element", kWmmParams, {"unknown"}, 0},
      {"empty vendor element", "DD 00", {"unknown"}, 0},
      {"empty rsn element", "30 00", {"unknown"}, 0},
  };
  for (const Case &c : cases) check(c);
}

TEST(SecurityElements, Wps) {
  const Case cases[] = {
      {"pin and pbc", "DD 0F 00 50 F2 04 10 44 00 01 02 10 08 00 02 00 84", {"WPS-PIN-PBC"}, 1},
      {"pbc", kWpsPbc, {"WPS-PBC"}, 1},
      {"display is pin", "DD 0F 00 50 F2 04 10 44 00 01 02 10 08 00 02 00 08", {"WPS-PIN"}, 1},
      {"label is pin", "DD 0F 00 50 F2 04 10 44 00 01 02 10 08 00 02 00 04", {"WPS-PIN"}, 1},
      {"no pin or pbc bit", "DD 0F 00 50 F2 04 10 44 00 01 02 10 08 00 02 00 02", {"WPS"}, 1},
      {"value byte 0x10 hides the attribute",
       "DD 0F 00 50 F2 04 10 4A 00 01 10 10 08 00 02 00 80",
       {"WPS"},
       1},
      {"selected registrar config methods",
       "DD 0F 00 50 F2 04 10 44 00 01 02 10 53 00 02 01 80",
       {"WPS-PBC"},
       1},
      {"first matching attribute decides",
       "DD 15 00 50 F2 04 10 53 00 02 00 08 10 08 00 02 00 80 10 44 00 01 02",
       {"WPS-PIN"},
       1},
      {"no attributes", "DD 06 00 50 F2 04 00 00", {"WPS"}, 1},
      {"value cut by the element end", "DD 0D 00 50 F2 04 10 44 00 01 02 10 08 00 02", {"WPS"}, 1},
      {"candidate is the last byte", "DD 0C 00 50 F2 04 10 44 00 01 02 00 00 10", {"WPS"}, 1},
      {"value bytes beyond length, inside buffer",
       "DD 0D 00 50 F2 04 10 44 00 01 02 10 08 00 02 00 80",
       {"WPS"},
       1},
  };
  for (const Case &c : cases) check(c);
}

TEST(SecurityElements, Buffers) {
  const Case cases[] = {
      {"rsn then wps", cat({kRsnPsk, kWpsPbc}), {"WPA2-PSK", "WPS-PBC"}, 1},
      {"foreign vendor then rsn", cat({kForeignVendor, kRsnPsk}), {"unknown", "WPA2-PSK"}, 0},
      {"other ids only", "00 04 41 42 43 44 01 08 82 84 8B 96 0C 12 18 24 03 01 06", {}, 0},
      {"other ids around rsn", cat({"00 02 41 42", kRsnPsk, "03 01 06"}), {"WPA2-PSK"}, 0},
      {"length runs past the buffer: parsed within it",
       "30 FF 01 00 00 0F AC 04 01 00 00 0F AC 04 01 00 00 0F AC 02",
       {"WPA2-PSK"},
       0},
      {"length runs past the buffer: cut short", "30 FF 01 00 00 0F AC 04 01 00", {"unknown"}, 0},
      {"single trailing byte ignored", cat({kRsnPsk, "DD"}), {"WPA2-PSK"}, 0},
      {"wpa and wpa2 and wps",
       cat({kWpaPsk, kRsnPsk, kWpsPbc}),
       {"WPA-PSK", "WPA2-PSK", "WPS-PBC"},
       1},
  };
  for (const Case &c : cases) check(c);
}

TEST(SecurityElements, AppendsAfterExistingDescriptors) {
  check({"after off", kRsnPsk, {"WPA2-PSK"}, 0}, {"off"});
  check({"after two", kWpsPbc, {"WPS-PBC"}, 1}, {"WPA-PSK", "unknown"});
}

TEST(SecurityElements, FurtherKeyManagementSuites) {
  const Case cases[] = {
      {"wpa3 transition",
       rsn_with_akms({"00 0F AC 02", "00 0F AC 08"}),
       {"WPA2-PSK", "WPA2-SAE"},
       0},
      {"ft and sha256",
       rsn_with_akms({"00 0F AC 02", "00 0F AC 04", "00 0F AC 06"}),
       {"WPA2-PSK", "WPA2-FT-PSK", "WPA2-PSK256"},
       0},
      {"enterprise family",
       rsn_with_akms({"00 0F AC 01", "00 0F AC 03", "00 0F AC 05", "00 0F AC 0B", "00 0F AC 0C"}),
       {"WPA2-802.1X", "WPA2-FT-EAP", "WPA2-EAP256", "WPA2-SUITEB", "WPA2-SB192"},
       0},
      {"sae family",
       rsn_with_akms({"00 0F AC 02", "00 0F AC 09", "00 0F AC 18"}),
       {"WPA2-PSK", "WPA2-FT-SAE", "WPA2-SAEEXT"},
       0},
      {"owe tdls pasn",
       rsn_with_akms({"00 0F AC 00", "00 0F AC 12", "00 0F AC 07", "00 0F AC 15"}),
       {"WPA2-none", "WPA2-OWE", "WPA2-TDLS", "WPA2-PASN"},
       0},
      {"sha384",
       rsn_with_akms({"00 0F AC 01", "00 0F AC 14", "00 0F AC 17"}),
       {"WPA2-802.1X", "WPA2-PSK384", "WPA2-EAP384"},
       0},
      {"unnamed types",
       rsn_with_akms({"00 0F AC 02", "00 0F AC 0A", "00 0F AC FF"}),
       {"WPA2-PSK", "WPA2-AKM10", "WPA2-AKM255"},
       0},
      {"names only for the ieee oui",
       rsn_with_akms({"00 0F AC 02", "00 50 F2 08"}),
       {"WPA2-PSK", "WPA2-AKM8"},
       0},
      {"oui of a further base type not compared",
       rsn_with_akms({"00 0F AC 02", "11 22 33 01"}),
       {"WPA2-PSK", "WPA2-802.1X"},
       0},
      {"wpa element further suites",
       "DD 1E 00 50 F2 01 01 00 00 50 F2 02 01 00 00 50 F2 02 03 00 00 50 F2 02 00 50 F2 01 00 "
       "50 F2 08",
       {"WPA-PSK", "WPA-802.1X", "WPA-AKM8"},
       0},
  };
  for (const Case &c : cases) check(c);
}

// -s: every suite the table knows is named, the first one too; without it
// the descriptors stay as they always were.
TEST(SecurityElements, AllSuitesNamed) {
  struct all_suites {
    all_suites() { backend_set_all_suites(true); }
    ~all_suites() { backend_set_all_suites(false); }
  };
  const struct {
    const char *type;
    const char *named;
  } firsts[] = {
      {"03", "WPA2-FT-EAP"}, {"04", "WPA2-FT-PSK"}, {"05", "WPA2-EAP256"}, {"06", "WPA2-PSK256"},
      {"07", "WPA2-TDLS"},   {"08", "WPA2-SAE"},    {"09", "WPA2-FT-SAE"}, {"0B", "WPA2-SUITEB"},
      {"0C", "WPA2-SB192"},  {"0D", "WPA2-FTE384"}, {"12", "WPA2-OWE"},    {"14", "WPA2-PSK384"},
      {"15", "WPA2-PASN"},   {"17", "WPA2-EAP384"}, {"18", "WPA2-SAEEXT"}, {"19", "WPA2-FTSAEX"},
      {"0A", "unknown"},     {"FF", "unknown"},
  };
  for (const auto &f : firsts) {
    const std::string rsn = rsn_with_akms({std::string("00 0F AC ") + f.type});
    check({"without -s", rsn, {"unknown"}, 0});
    const all_suites on;
    check({f.named, rsn, {f.named}, 0});
  }
  const std::string further = rsn_with_akms({"00 0F AC 02", "00 0F AC 0D", "00 0F AC 19"});
  check({"further, without -s", further, {"WPA2-PSK", "WPA2-AKM13", "WPA2-AKM25"}, 0});
  const all_suites on;
  check({"further", further, {"WPA2-PSK", "WPA2-FTE384", "WPA2-FTSAEX"}, 0});
  check({"first of another oui", rsn_with_akms({"00 50 F2 08"}), {"unknown"}, 0});
  check({"wpa element, type 8",
         "DD 16 00 50 F2 01 01 00 00 50 F2 02 01 00 00 50 F2 02 01 00 00 50 F2 08",
         {"unknown"},
         0});
}

// Drivers pass every element of a cell; once the six slots are full the rest
// of the cell's elements and suites are passed over without failing.
TEST(SecurityElements, FullSlots) {
  const Case cases[] = {
      {"six in use, rsn", kRsnPsk, {}, 0},
      {"six in use, element of id 0", "00 02 41 42", {}, 0},
      {"six in use, wps leaves the flag", kWpsPbc, {}, 0},
  };
  const Texts six = {"off", "WEP", "unknown", "unknown", "unknown", "unknown"};
  for (const Case &c : cases) check(c, six);

  // The last element fills the sixth slot.
  check({"fifth to sixth", kRsnPsk, {"WPA2-PSK"}, 0}, {"a", "b", "c", "d", "e"});
  // Suites beyond the sixth slot are dropped.
  check({"suites dropped",
         rsn_with_akms({"00 0F AC 02", "00 0F AC 08", "00 0F AC 01", "00 0F AC 04"}),
         {"WPA2-PSK", "WPA2-SAE"},
         0},
        {"a", "b", "c", "d"});
  // An ordinary access point: WPA, WPA2, WPS and vendor elements.
  check({"ordinary access point",
         cat({kWpaPsk, kRsnPsk, kWpsPbc, kWmmParams, kForeignVendor, kForeignVendor,
              "DD 05 00 10 18 02 00", kRsnPsk}),
         {"WPA-PSK", "WPA2-PSK", "WPS-PBC", "unknown", "unknown", "unknown"},
         1});
}

TEST(SecurityElements, ShortOrMissingBuffers) {
  for (int len : {0, 1, -1, -1000}) {
    Walk w;
    w.preset({"off"});
    const unsigned char bytes[] = {0x30, 0x02, 0x01, 0x00};
    network_entry before;
    memcpy(&before, &w.entry, sizeof before);
    EXPECT_EQ(parse_security_ies(&w.entry, bytes, len), 0) << len;
    EXPECT_EQ(memcmp(&before, &w.entry, sizeof before), 0) << len;
  }
  Walk w;
  EXPECT_EQ(parse_security_ies(&w.entry, nullptr, 10), 0);
  EXPECT_EQ(w.entry.security_count, 0);
}

TEST(SecurityElements, RefusesEntryOutsideItsSlots) {
  const std::vector<unsigned char> rsn = hex(kRsnPsk);
  const int len = static_cast<int>(rsn.size());
  for (int count : {-1, 7, 1000}) {
    Walk w;
    w.entry.security_count = count;
    network_entry before;
    memcpy(&before, &w.entry, sizeof before);
    EXPECT_EQ(parse_security_ies(&w.entry, rsn.data(), len), -1) << count;
    EXPECT_EQ(memcmp(&before, &w.entry, sizeof before), 0) << count;
  }
  EXPECT_EQ(parse_security_ies(nullptr, rsn.data(), len), -1);
}

TEST(SecurityElements, WpaGroupWithoutOuiRecordsNothing) {
  const std::string pre_standard =
      "DD 16 00 50 F2 01 01 00 00 00 00 02 01 00 00 50 F2 02 01 00 00 50 F2 02";
  check({"alone", pre_standard, {}, 0});
  check({"then rsn", cat({pre_standard, kRsnPsk}), {"WPA2-PSK"}, 0});
  check({"after wpa", cat({kWpaPsk, pre_standard}), {"WPA-PSK"}, 0});
}

TEST(SecurityElements, ParseElementWithinAvail) {
  // The caller's avail cuts an element shorter than its length says.
  const std::vector<unsigned char> rsn = hex(kRsnPsk);
  for (int avail : {2, 8, 19}) {
    Walk w;
    snprintf(w.entry.security[0], sizeof w.entry.security[0], "WPA2");
    std::vector<unsigned char> copy(rsn.begin(), rsn.begin() + avail);
    parse_wpa_ie(&w.entry, 2, copy.data(), avail);
    EXPECT_EQ(w.descriptors(), Texts{"unknown"}) << avail;
  }
  Walk w;
  snprintf(w.entry.security[0], sizeof w.entry.security[0], "WPA2");
  std::vector<unsigned char> copy(rsn.begin(), rsn.begin() + 20);
  parse_wpa_ie(&w.entry, 2, copy.data(), 20);
  EXPECT_EQ(w.descriptors(), Texts{"WPA2-PSK"});
}

TEST(SecurityElements, AddUnknown) {
  Walk w;
  add_unknown_security(&w.entry);
  add_unknown_security(&w.entry);
  EXPECT_EQ(w.descriptors(), (Texts{"unknown", "unknown"}));

  Walk full;
  full.preset({"a", "b", "c", "d", "e", "f"});
  network_entry before;
  memcpy(&before, &full.entry, sizeof before);
  add_unknown_security(&full.entry);
  EXPECT_EQ(memcmp(&before, &full.entry, sizeof before), 0);
}

}  // namespace
