// SPDX-License-Identifier: MIT
#include "backend/ieee80211/survey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "backend/ieee80211/channel_plan.h"

namespace {

// "3D 16 ..." -> bytes; spaces anywhere.
std::vector<uint8_t> hex(const std::string &text) {
  std::vector<uint8_t> out;
  for (size_t pos = 0; pos < text.size(); pos += text[pos] == ' ' ? 1 : 2)
    if (text[pos] != ' ')
      out.push_back(static_cast<uint8_t>(std::stoul(text.substr(pos, 2), 0, 16)));
  return out;
}
// An element of id around body, its length counted.
std::string el(const char *id, const std::string &body) {
  char len[4];
  snprintf(len, sizeof len, "%02zX", hex(body).size());
  return std::string(id) + len + body;
}
const std::string kMcs16 = " 00000000000000000000000000000000";
std::string ht(const char *info) { return el("3D", std::string(info) + kMcs16); }
std::string vht(const char *info) { return el("C0", std::string(info) + " 0000"); }
std::string he(const char *rest) { return el("FF", std::string("24 ") + rest); }
std::string eht(const char *rest) { return el("FF", std::string("6A ") + rest); }
const std::string kRatesB = "0104 82848B96", kRatesG = "0108 82848B960C121824",
                  kRatesA = "0108 8C129824B048606C";

// The elements split into two reports after the first, as Wireless
// Extensions drivers hand them over.
network_survey parse(const std::string &elements, long primary) {
  const std::vector<uint8_t> bytes = hex(elements);
  const size_t split = bytes.size() >= 2 ? std::min<size_t>(bytes.size(), 2 + bytes[1]) : 0;
  const std::span<const uint8_t> parts[] = {std::span(bytes).first(split),
                                            std::span(bytes).subspan(split)};
  network_survey s{};
  survey_parse(parts, primary, &s);
  return s;
}

std::string text(const char *name) { return name != nullptr ? name : "null"; }
// A number, or -1 when it is not given.
long number(const network_survey &s, survey_number n) {
  return (s.given >> n & 1) != 0 ? static_cast<long>(s.number[n]) : -1;
}
// A list of names without the space after the last.
std::string names(const char *list) {
  const std::string l = list;
  return l.empty() ? l : l.substr(0, l.size() - 1);
}

TEST(Survey, ChannelAndStandard) {
  struct Row {
    const char *name;
    long primary;
    std::string elements;
    long width, center;
    const char *standard;
  } const rows[] = {
      {"no elements", 2412, "", 0, 0, "null"},
      {"b", 2412, kRatesB, 20, 2412, "b"},
      {"g", 2437, kRatesG + "DD0400000000", 20, 2437, "g"},
      {"a", 5180, kRatesA, 20, 5180, "a"},
      {"rates, band unknown", 0, kRatesA, 20, 0, "null"},
      {"ht secondary, width bit off", 5180, ht("24 01 0000 0000"), 20, 5180, "n"},
      {"ht 40 above", 2412, ht("01 05 0000 0000"), 40, 2422, "n"},
      {"ht 40 below", 5200, ht("28 07 0000 0000"), 40, 5190, "n"},
      {"ht cut short", 5180, el("3D", "24 05 0000"), 0, 0, "n"},
      {"vht 80", 5180, ht("24 05 0000 0000") + vht("01 2A 00"), 80, 5210, "ac"},
      {"vht 20/40: ht decides", 5180, ht("24 05 0000 0000") + vht("00 00 00"), 40, 5190, "ac"},
      {"vht 160", 5180, vht("01 2A 32"), 160, 5250, "ac"},
      {"vht 160 deprecated", 5180, vht("02 32 00"), 160, 5250, "ac"},
      {"vht 80+80", 5180, vht("01 2A 9B"), 160, 5210, "ac"},
      {"vht 80+80 deprecated", 5180, vht("03 2A 9B"), 160, 5210, "ac"},
      {"vht 160 in the ht ccfs2", 5180, ht("24 05 4006 0000") + vht("01 2A 00"), 160, 5250, "ac"},
      {"vht width 4", 5180, vht("04 2A 00"), 0, 0, "ac"},
      {"vht centre without the primary", 5180, vht("01 9B 00"), 80, 0, "ac"},
      {"he 6 GHz 80", 5955, he("000002 01 FCFF 01 02 07 00 06"), 80, 5985, "ax"},
      {"he 6 GHz 160", 6015, he("000002 01 FCFF 0D 03 07 0F 06"), 160, 6025, "ax"},
      {"he 6 GHz, vht info and co-hosted before", 5955,
       he("00C002 01 FCFF 01 2A 00 07 01 02 07 00 06"), 80, 5985, "ax"},
      {"he 6 GHz info cut short", 5955, he("000002 01 FCFF 01 02 07"), 0, 0, "ax"},
      {"he 5 GHz: vht decides", 5180, he("000000 01 FCFF") + vht("01 2A 00"), 80, 5210, "ax"},
      {"he capabilities only", 5180, vht("01 2A 00") + el("FF", "23 00"), 80, 5210, "ax"},
      {"eht 320", 5955, eht("01 00000000 04 0F 1F"), 320, 6105, "be"},
      {"eht 160", 5180, eht("01 00000000 03 2A 32"), 160, 5250, "be"},
      {"eht 80, disabled subchannels", 5180, eht("03 00000000 02 2A 00 0200"), 80, 5210, "be"},
      {"eht bitmap cut short", 5180, eht("03 00000000 02 2A 00"), 0, 0, "be"},
      {"eht without information: he decides", 5955,
       eht("00 00000000") + he("000002 01 FCFF 01 03 07 0F 06"), 160, 6025, "be"},
      {"eht capabilities only", 2412, kRatesG + el("FF", "6C 00"), 20, 2412, "be"},
      {"last element cut short", 5180, "01 02 8C12 C005 012A", 0, 0, "ac"},
  };
  for (const Row &r : rows) {
    const network_survey s = parse(r.elements, r.primary);
    EXPECT_EQ(number(s, kSurveyWidth), r.width ? r.width : -1) << r.name;
    EXPECT_EQ(number(s, kSurveyCenter), r.center ? r.center : -1) << r.name;
    EXPECT_EQ(text(s.name[kSurveyStandard]), r.standard) << r.name;
  }
}

TEST(Survey, LoadCountryWps) {
  struct Row {
    std::string elements;
    int stations, utilization_pct;  // -1: no BSS Load
    const char *country;
    bool wps;
  } const rows[] = {
      {"0B05 0300 80 0000", 3, 50, "", false},
      {"0B05 0001 FF 0000 0B05 0200 00 0000", 256, 100, "", false},
      {"0B05 0000 02 0000", 0, 1, "", false},
      {"0B03 0300 80", -1, 0, "", false},
      {"0706 444520 010D14 0703 555320", -1, 0, "DE", false},
      {"0703 0A4120", -1, 0, "", false},
      {"DD04 0050F204 DD04 0050F202", -1, 0, "", true},
      {"DD03 0050F2", -1, 0, "", false},
  };
  for (const Row &r : rows) {
    const network_survey s = parse(r.elements, 2412);
    EXPECT_EQ(number(s, kSurveyStations), r.stations) << r.elements;
    EXPECT_EQ(number(s, kSurveyUtilization), r.stations < 0 ? -1 : r.utilization_pct);
    EXPECT_STREQ(s.country, r.country) << r.elements;
    EXPECT_EQ(number(s, kSurveyWps), r.wps) << r.elements;
  }
}

TEST(Survey, Encryption) {
  const std::string wpa_head = "0050F201 0100 ";
  struct Row {
    std::string elements;
    const char *akm, *pairwise, *group, *pmf;
  } const rows[] = {
      {"", "", "", "null", "null"},
      {el("30", "0100 000FAC04 0100 000FAC04 0100 000FAC02 0000"), "PSK", "CCMP", "CCMP", "no"},
      {el("30", "0100 000FAC04 0100 000FAC04 0200 000FAC02 000FAC08 8000"), "PSK SAE", "CCMP",
       "CCMP", "capable"},
      {el("30", "0100 000FAC04 0100 000FAC04 0100 000FAC08 C000"), "SAE", "CCMP", "CCMP",
       "required"},
      {el("30", "0100 000FAC04 0100 000FAC04 0100 000FAC12 4000"), "OWE", "CCMP", "CCMP",
       "required"},
      {el("30", "0100 000FAC09 0100 000FAC09 0100 000FAC0C C000"), "SB192", "GCMP-256", "GCMP-256",
       "required"},
      {el("30", "0100 000FAC01 0300 000FAC0A 000FAC08 000FAC05 0100 000FAC01 0000"), "802.1X",
       "CCMP-256 GCMP WEP-104", "WEP-40", "no"},
      {el("30", "0100 000FAC00 0200 000FAC00 00112204 0200 506F9A02 000FAC0D"), "AKM2 FTE384",
       "unknown", "unknown", "no"},
      {el("DD", wpa_head + "0050F202 0100 0050F202 0100 0050F202"), "PSK", "TKIP", "TKIP", "no"},
      {el("DD", wpa_head + "0050F208 0200 000FAC04 0050F204 0200 0050F201 000FAC08"), "802.1X AKM8",
       "unknown CCMP", "unknown", "no"},
      {el("DD", wpa_head + "0050F202 0100 0050F202 0100 0050F202") +
           el("30", "0100 000FAC04 0100 000FAC04 0100 000FAC02 0C00"),
       "PSK", "CCMP TKIP", "CCMP", "no"},
      {el("30",
          "0100 000FAC04 0100 000FAC04 0A00 000FAC01 000FAC02 000FAC03 000FAC04 000FAC05 000FAC06 "
          "000FAC07 000FAC08 000FAC09 000FAC0A"),
       "802.1X PSK FT-EAP FT-PSK EAP256 PSK256 TDLS SAE FT-SAE AKM10", "CCMP", "CCMP", "no"},
      // Ended at a field's boundary: what follows is not given.
      {el("30", "0100"), "", "", "null", "no"},
      {el("30", "0100 000FAC04"), "", "", "CCMP", "no"},
      // Cut short: that field and the rest unknown.
      {el("30", ""), "unknown", "unknown", "unknown", "null"},
      {el("30", "0100 000FAC04 0200 000FAC04"), "unknown", "unknown", "CCMP", "null"},
      {el("30", "0100 000FAC04 0100 000FAC04 0100 000FAC02 00"), "PSK", "CCMP", "CCMP", "null"},
      {"30 14 0100 000FAC04", "unknown", "unknown", "CCMP", "null"},
  };
  for (const Row &r : rows) {
    const network_survey s = parse(r.elements, 2412);
    EXPECT_EQ(number(s, kSurveyKeys), r.elements.empty() ? -1 : 1) << r.elements;
    EXPECT_EQ(names(s.akm), r.akm) << r.elements;
    EXPECT_EQ(names(s.pairwise), r.pairwise) << r.elements;
    EXPECT_EQ(text(s.name[kSurveyGroup]), r.group) << r.elements;
    EXPECT_EQ(text(s.name[kSurveyPmf]), r.pmf) << r.elements;
  }
}

TEST(Survey, Bands) {
  const std::pair<long, const char *> rows[] = {
      {2412, "2.4"}, {2484, "2.4"}, {4920, "5"},   {5180, "5"}, {5885, "5"},
      {5935, "6"},   {7115, "6"},   {58320, "60"}, {0, "null"}, {3000, "null"},
  };
  for (const auto &[mhz, band] : rows) EXPECT_EQ(text(band_of_mhz(mhz)), band) << mhz;
}

}  // namespace
