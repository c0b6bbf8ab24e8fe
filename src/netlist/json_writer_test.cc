// SPDX-License-Identifier: MIT
// What the document's reader cannot tell apart once parsed: which bytes went
// out escaped, and which entry carried a bit rate.
#include "netlist/json_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "netlist/netlist.h"

namespace {

template <typename F>
std::string written(F &&write) {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  write(f);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

// DEL and the C1 controls, which a parser takes raw, are escaped all the same.
TEST(JsonWriter, ControlsEscaped) {
  const struct {
    std::string bytes;
    std::string json;
  } cases[] = {
      {"a\x7f", "\"a\\u007f\""},
      {"\xc2\x85\xc2\x9f\xc2\xa0", "\"\\u0085\\u009f\xc2\xa0\""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(written([&](FILE *f) { write_json_string(f, c.bytes.data(), c.bytes.size()); }),
              c.json);
}

// A cached list may hold a rate for a network that is not the associated one
// (a cache file with rate pieces): only the associated network's is written,
// and its number with it.
TEST(JsonWriter, BitRateOfTheAssociatedNetworkOnly) {
  list_clear();
  for (const int current : {0, 1}) {
    network_entry *e = list_append_new();
    ASSERT_NE(e, nullptr);
    e->current = current;
    snprintf(e->bitrate, sizeof e->bitrate, "54 Mbit/s");
    ASSERT_NE(list_add_survey(e), nullptr);
    e->survey->bitrate_kbps = 54000;
  }
  const std::string doc = written([](FILE *f) { write_json(f, {"wlan0", "WE", false}); });
  list_clear();
  EXPECT_NE(doc.find("\"bitrate\": null, \"associated\": false, "), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"bitrate\": \"54 Mbit/s\", \"associated\": true, "), std::string::npos);
  EXPECT_NE(doc.find("\"bitrate_kbps\": null}, {"), std::string::npos);
  EXPECT_NE(doc.find("\"bitrate_kbps\": 54000}], \"schema\": 1}\n"), std::string::npos);
}

// The survey's members: a zero that is given is written, a figure that is
// not is null (a cached network, with no record at all, is the program test's).
TEST(JsonWriter, SurveyMembers) {
  network_survey full;
  full.given = kGivenSignal | kGivenNoise | kGivenLastSeen | kGivenBssLoad | kGivenElements |
               kGivenWps | kGivenKeys;
  full.frequency_mhz = 5180, full.center_mhz = 5210, full.width_mhz = 80, full.stations = 3;
  full.signal_dbm = -48, full.noise_dbm = -95, full.pairwise = 1 << 4 | 1 << 5;
  full.standard = survey_standard::ax, full.group = survey_cipher::ccmp;
  full.pmf = survey_pmf::capable, full.band = survey_band::ghz5;
  full.country[0] = 'D', full.country[1] = 'E';
  snprintf(full.akm, sizeof full.akm, "PSK/SAE");
  const std::pair<network_survey, std::string> rows[] = {
      {full,
       "-48, \"noise_dbm\": -95, \"frequency_mhz\": 5180, \"band\": \"5\", \"width_mhz\": 80, "
       "\"center_mhz\": 5210, \"standard\": \"ax\", \"last_seen_ms\": 0, \"bss_load\": "
       "{\"stations\": 3, \"utilization_pct\": 0}, \"country\": \"DE\", \"wps\": true, "
       "\"encryption\": {\"akm\": [\"PSK\", \"SAE\"], \"pairwise\": [\"TKIP\", \"CCMP\"], "
       "\"group\": \"CCMP\", \"pmf\": \"capable\"}, "},
      {{.given = kGivenElements | kGivenKeys},
       "null, \"noise_dbm\": null, \"frequency_mhz\": null, \"band\": null, \"width_mhz\": null, "
       "\"center_mhz\": null, \"standard\": null, \"last_seen_ms\": null, \"bss_load\": null, "
       "\"country\": null, \"wps\": false, \"encryption\": {\"akm\": [], \"pairwise\": [], "
       "\"group\": null, \"pmf\": null}, "},
  };
  for (const auto &[survey, members] : rows) {
    list_clear();
    *list_add_survey(list_append_new()) = survey;
    const std::string doc = written([](FILE *f) { write_json(f, {"wlan0", "WE", true}); });
    EXPECT_NE(doc.find("\"signal_dbm\": " + members + "\"bitrate_kbps\": null}]"),
              std::string::npos)
        << doc;
  }
  list_clear();
}

}  // namespace
