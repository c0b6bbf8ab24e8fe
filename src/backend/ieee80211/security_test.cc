// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/ieee80211/ieee80211.h"
#include "netlist/netlist.h"

namespace {

using Texts = std::vector<std::string>;

// "30 02 01 00" -> bytes.
std::vector<unsigned char> hex(const std::string &text) {
  std::vector<unsigned char> out;
  for (size_t pos = 0; pos < text.size(); pos += text[pos] == ' ' ? 1 : 2)
    if (text[pos] != ' ')
      out.push_back(static_cast<unsigned char>(std::stoul(text.substr(pos, 2), nullptr, 16)));
  return out;
}

std::string cat(std::initializer_list<std::string> parts) {
  std::string s;
  for (const std::string &p : parts) s += p + " ";
  return s;
}

// An RSN body's version 1, CCMP group cipher and one pairwise cipher, CCMP.
const std::string kCcmp = "0100 000FAC04 0100 000FAC04 ";

// An element of id around body, its length counted.
std::string ie(const char *id, const std::string &body) {
  char len[4];
  snprintf(len, sizeof len, "%02zX", hex(body).size());
  return std::string(id) + " " + len + " " + body;
}
// A WPA element with TKIP group and pairwise and one AKM selector.
std::string wpa(const std::string &akm) {
  return ie("DD", "0050F201 0100 0050F202 0100 0050F202 0100 " + akm);
}
std::string wps(const std::string &attributes) { return ie("DD", "0050F204 " + attributes); }
// An RSN element with CCMP group and pairwise and the given AKM selectors;
// a selector of two digits is that type of the IEEE OUI 00-0F-AC.
std::string rsn(const std::string &akms) {
  std::istringstream in(akms);
  std::string list;
  unsigned count = 0;
  for (std::string s; in >> s; ++count) {
    list += s.size() == 2 ? " 000FAC" : " ";  // appended, not prefixed: g++ 12 -Wrestrict
    list += s;
  }
  char head[32];
  snprintf(head, sizeof head, "%02X00", count);
  return ie("30", kCcmp + head + list);
}

// Elements used across the tables.
const std::string kRsnPsk = ie("30", kCcmp + "0100 000FAC02 0C00");  // with capabilities
const std::string kWpaPsk = wpa("0050F202");
const std::string kWpsPbc = wps("1044 0001 02 1008 0002 0080");
const std::string kForeignVendor = "DD 07 00 11 22 01 02 03 04";
const std::string kPreStandardWpa = ie("DD", "0050F201 0100 00000002 0100 0050F202 0100 0050F202");
const std::string kWmmParams =
    "DD 18 00 50 F2 02 01 01 80 00 03 A4 00 00 27 A4 00 00 42 43 5E 00 62 32 2F 00";

struct Walk {
  network_entry entry{};
  int result = 0;
  bool all_suites = false;

  explicit Walk(const Texts &descriptors = {}) {
    for (const std::string &d : descriptors)
      snprintf(entry.security[entry.security_count++], sizeof entry.security[0], "%s", d.c_str());
  }

  void run(const std::string &elements) {
    const std::vector<unsigned char> bytes = hex(elements);
    // An exactly sized heap copy, so AddressSanitizer sees any read past it.
    unsigned char *copy = static_cast<unsigned char *>(malloc(bytes.size() ? bytes.size() : 1));
    if (!bytes.empty()) memcpy(copy, bytes.data(), bytes.size());
    result = parse_security_ies(&entry, copy, static_cast<int>(bytes.size()), all_suites);
    free(copy);
  }

  Texts descriptors() const {
    Texts out;
    for (int i = 0; i < entry.security_count && i < 6; ++i) {
      EXPECT_LT(strnlen(entry.security[i], sizeof entry.security[i]), sizeof entry.security[i])
          << "slot " << i << " not terminated";
      out.emplace_back(entry.security[i]);
    }
    return out;
  }
};

// The words of a text.
Texts words(const std::string &text) {
  std::istringstream in(text);
  Texts out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

struct Case {
  const char *what;
  std::string elements;
  std::string expected;  // the descriptors after those before, one word each
  uint32_t wps;
  std::string before = "";
};

void check(const Case &c, bool all_suites = false) {
  SCOPED_TRACE(c.what);
  Walk w(words(c.before));
  w.all_suites = all_suites;
  w.run(c.elements);
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.descriptors(), words(c.before + " " + c.expected));
  EXPECT_EQ(w.entry.wps, c.wps);
}

const std::string kSix = "off WEP unknown unknown unknown unknown";

TEST(SecurityElements, Descriptors) {
  const Case cases[] = {
      // Key management.
      {"rsn psk, capabilities not read", kRsnPsk, "WPA2-PSK", 0},
      {"wpa psk", kWpaPsk, "WPA-PSK", 0},
      {"rsn psk then 802.1x", rsn("02 01"), "WPA2-PSK WPA2-802.1X", 0},
      {"rsn 802.1x", rsn("01"), "WPA2-802.1X", 0},
      {"rsn none", rsn("00"), "WPA2-none", 0},
      {"wpa 802.1x", wpa("0050F201"), "WPA-802.1X", 0},
      {"akm list after two pairwise",
       ie("30", "0100 000FAC04 0200 000FAC04 000FAC02 0100 000FAC02 0C00"), "WPA2-PSK", 0},
      {"oui type 2 read as wpa", ie("DD", "0050F202 0100 0050F202 0100 0050F202 0100 0050F202"),
       "WPA-PSK", 0},
      {"wpa3 transition", rsn("02 08"), "WPA2-PSK WPA2-SAE", 0},
      {"ft and sha256", rsn("02 04 06"), "WPA2-PSK WPA2-FT-PSK WPA2-PSK256", 0},
      {"enterprise family", rsn("01 03 05 0B 0C"),
       "WPA2-802.1X WPA2-FT-EAP WPA2-EAP256 WPA2-SUITEB WPA2-SB192", 0},
      {"sae family", rsn("02 09 18"), "WPA2-PSK WPA2-FT-SAE WPA2-SAEEXT", 0},
      {"owe tdls pasn", rsn("00 12 07 15"), "WPA2-none WPA2-OWE WPA2-TDLS WPA2-PASN", 0},
      {"sha384", rsn("01 14 17"), "WPA2-802.1X WPA2-PSK384 WPA2-EAP384", 0},
      {"unnamed types", rsn("02 0A FF"), "WPA2-PSK WPA2-AKM10 WPA2-AKM255", 0},
      {"names only for the ieee oui", rsn("02 0050F208"), "WPA2-PSK WPA2-AKM8", 0},
      {"further base oui not compared", rsn("02 11223301"), "WPA2-PSK WPA2-802.1X", 0},
      {"wpa element names no ieee suite",
       ie("DD", "0050F201 0100 0050F202 0100 0050F202 0200 0050F202 000FAC08"), "WPA-PSK WPA-AKM8",
       0},
      {"wpa element further suites",
       ie("DD", "0050F201 0100 0050F202 0100 0050F202 0300 0050F202 0050F201 0050F208"),
       "WPA-PSK WPA-802.1X WPA-AKM8", 0},
      // Rejected elements give "unknown".
      {"rsn first akm type 3", rsn("03"), "unknown", 0},
      {"rsn first akm type 8", rsn("08 02"), "unknown", 0},
      {"rsn first akm oui 00:50:F2", rsn("0050F202"), "unknown", 0},
      {"wpa first akm oui 00:0F:AC", wpa("000FAC02"), "unknown", 0},
      {"rsn version only", "30 02 01 00", "unknown", 0},
      {"rsn akm cut by length", "3011 0100 000FAC04 0100 000FAC04 0100 000FAC02 0C00", "unknown",
       0},
      {"rsn akm count cut", "300C " + kCcmp, "unknown", 0},
      {"rsn pairwise count cut", "30 06 01 00 00 0F AC 04", "unknown", 0},
      {"rsn pairwise list cut", "300A 0100 000FAC04 0200 000F", "unknown", 0},
      {"rsn group type 0", ie("30", "0100 000FAC00 0100 000FAC04 0100 000FAC02 0C00"), "unknown",
       0},
      {"rsn akm count 0", ie("30", kCcmp + "0000"), "unknown", 0},
      {"rsn akm count 0, caps after", ie("30", kCcmp + "0000 000FAC02"), "unknown", 0},
      {"vendor element of another oui", kForeignVendor, "unknown", 0},
      {"another oui, wpa body", ie("DD", "00112201 0100 0050F202 0100 0050F202 0100 0050F202"),
       "unknown", 0},
      {"another oui, wps body", ie("DD", "00112204 1044 0001 02 1008 0002 0080"), "unknown", 0},
      {"oui type 2 shorter than 12 bytes", "DD09 0050F202 0101 0050F2", "unknown", 0},
      {"vendor element shorter than 8 bytes", wps(""), "unknown", 0},
      {"wmm parameter element", kWmmParams, "unknown", 0},
      {"empty vendor element", "DD 00", "unknown", 0},
      {"empty rsn element", "30 00", "unknown", 0},
      // WPS.
      {"pin and pbc", wps("1044 0001 02 1008 0002 0084"), "WPS-PIN-PBC", 1},
      {"pbc", kWpsPbc, "WPS-PBC", 1},
      {"display is pin", wps("1044 0001 02 1008 0002 0008"), "WPS-PIN", 1},
      {"label is pin", wps("1044 0001 02 1008 0002 0004"), "WPS-PIN", 1},
      {"no pin or pbc bit", wps("1044 0001 02 1008 0002 0002"), "WPS", 1},
      {"value byte 0x10 hides the attribute", wps("104A 0001 10 1008 0002 0080"), "WPS", 1},
      {"selected registrar config methods", wps("1044 0001 02 1053 0002 0180"), "WPS-PBC", 1},
      {"first match decides", wps("1053 0002 0008 1008 0002 0080 1044 0001 02"), "WPS-PIN", 1},
      {"no attributes", wps("0000"), "WPS", 1},
      {"value cut by the element end", wps("1044 0001 02 1008 0002"), "WPS", 1},
      {"candidate is the last byte", wps("1044 0001 02 0000 10"), "WPS", 1},
      {"value beyond length, inside buffer", "DD0D 0050F204 1044 0001 02 1008 0002 0080", "WPS", 1},
      // Buffers of several elements.
      {"rsn then wps", cat({kRsnPsk, kWpsPbc}), "WPA2-PSK WPS-PBC", 1},
      {"foreign vendor then rsn", cat({kForeignVendor, kRsnPsk}), "unknown WPA2-PSK", 0},
      {"other ids only", "0004 41424344 0108 82848B960C121824 0301 06", "", 0},
      {"other ids around rsn", cat({"00 02 41 42", kRsnPsk, "03 01 06"}), "WPA2-PSK", 0},
      {"length past the buffer: parsed within it", "30FF 0100 000FAC04 0100 000FAC04 0100 000FAC02",
       "WPA2-PSK", 0},
      {"length past the buffer: cut short", "30FF 0100 000FAC04 0100", "unknown", 0},
      {"single trailing byte ignored", cat({kRsnPsk, "DD"}), "WPA2-PSK", 0},
      {"wpa, wpa2, wps", cat({kWpaPsk, kRsnPsk, kWpsPbc}), "WPA-PSK WPA2-PSK WPS-PBC", 1},
      // A WPA group cipher without its OUI records nothing.
      {"pre-standard wpa alone", kPreStandardWpa, "", 0},
      {"pre-standard wpa then rsn", cat({kPreStandardWpa, kRsnPsk}), "WPA2-PSK", 0},
      {"pre-standard wpa after wpa", cat({kWpaPsk, kPreStandardWpa}), "WPA-PSK", 0},
      // Appended after the descriptors already there.
      {"after off", kRsnPsk, "WPA2-PSK", 0, "off"},
      {"after two", kWpsPbc, "WPS-PBC", 1, "WPA-PSK unknown"},
      {"fifth to sixth", kRsnPsk, "WPA2-PSK", 0, "a b c d e"},
      {"suites beyond the sixth slot dropped", rsn("02 08 01 04"), "WPA2-PSK WPA2-SAE", 0,
       "a b c d"},
      // Drivers pass every element of a cell; once the six slots are full the
      // rest of the cell's elements and suites are passed over without failing.
      {"six in use, rsn", kRsnPsk, "", 0, kSix},
      {"six in use, element of id 0", "00 02 41 42", "", 0, kSix},
      {"six in use, wps leaves the flag", kWpsPbc, "", 0, kSix},
      {"ordinary access point",
       cat({kWpaPsk, kRsnPsk, kWpsPbc, kWmmParams, kForeignVendor, kForeignVendor,
            "DD 05 00 10 18 02 00", kRsnPsk}),
       "WPA-PSK WPA2-PSK WPS-PBC unknown unknown unknown", 1},
  };
  for (const Case &c : cases) check(c);
}

// -s: every suite the table knows is named, the first one too; without it
// the descriptors stay as they always were.
TEST(SecurityElements, AllSuitesNamed) {
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
    check({"without -s", rsn(f.type), "unknown", 0});
    check({f.named, rsn(f.type), f.named, 0}, true);
  }
  check({"further, without -s", rsn("02 0D 19"), "WPA2-PSK WPA2-AKM13 WPA2-AKM25", 0});
  check({"further", rsn("02 0D 19"), "WPA2-PSK WPA2-FTE384 WPA2-FTSAEX", 0}, true);
  // A suite of another OUI than its element's (Wi-Fi Alliance, WPA) is not named.
  check({"first of another oui", rsn("506F9A02"), "unknown", 0}, true);
  check({"further of other ouis", rsn("02 506F9A02 0050F201 0D"),
         "WPA2-PSK WPA2-AKM2 WPA2-AKM1 WPA2-FTE384", 0},
        true);
  check({"wpa element, type 8", wpa("0050F208"), "unknown", 0}, true);
}

// Nothing to read, or an entry outside its slots: the entry is left as it was.
TEST(SecurityElements, EntryLeftAsItWas) {
  const std::vector<unsigned char> psk = hex(kRsnPsk);
  const int whole = static_cast<int>(psk.size());
  const struct {
    int count;  // of the entry, whose first slot reads "off"
    const unsigned char *bytes;
    int len;
    int result;
  } cases[] = {
      {1, psk.data(), 0, 0},       {1, psk.data(), 1, 0},      {1, psk.data(), -1, 0},
      {1, psk.data(), -1000, 0},   {1, nullptr, 10, 0},        {0, nullptr, 10, 0},
      {-1, psk.data(), whole, -1}, {7, psk.data(), whole, -1}, {1000, psk.data(), whole, -1},
  };
  for (const auto &c : cases) {
    Walk w({"off"});
    w.entry.security_count = c.count;
    network_entry before;
    memcpy(&before, &w.entry, sizeof before);
    EXPECT_EQ(parse_security_ies(&w.entry, c.bytes, c.len, false), c.result)
        << c.count << " " << c.len;
    EXPECT_EQ(memcmp(&before, &w.entry, sizeof before), 0) << c.count << " " << c.len;
  }
  EXPECT_EQ(parse_security_ies(nullptr, psk.data(), whole, false), -1);
}

TEST(SecurityElements, AddDescriptor) {
  Walk w;
  add_descriptor(&w.entry, "unknown");
  add_descriptor(&w.entry, "unknown");
  EXPECT_EQ(w.descriptors(), (Texts{"unknown", "unknown"}));

  Walk full({"a", "b", "c", "d", "e", "f"});
  network_entry before;
  memcpy(&before, &full.entry, sizeof before);
  add_descriptor(&full.entry, "unknown");
  EXPECT_EQ(memcmp(&before, &full.entry, sizeof before), 0);
}

}  // namespace
