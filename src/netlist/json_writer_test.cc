// SPDX-License-Identifier: MIT
// What the document's reader cannot tell apart once parsed: which bytes went
// out escaped, and which entry carried a bit rate.
#include "netlist/json_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
// (a cache file with rate pieces): only the associated network's is written.
TEST(JsonWriter, BitRateOfTheAssociatedNetworkOnly) {
  list_clear();
  for (const int current : {0, 1}) {
    network_entry *e = list_append_new();
    ASSERT_NE(e, nullptr);
    e->current = current;
    snprintf(e->bitrate, sizeof e->bitrate, "54 Mbit/s");
  }
  const std::string doc = written([](FILE *f) { write_json(f, {"wlan0", "WE", false}); });
  list_clear();
  EXPECT_NE(doc.find("\"bitrate\": null, \"associated\": false, "), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"bitrate\": \"54 Mbit/s\", \"associated\": true, "), std::string::npos);
}

// The survey's members: a zero that is given is written, what is not given
// is null, an object not given is null whole; the run's members beside them.
TEST(JsonWriter, SurveyAndRunMembers) {
  network_survey full{};
  for (const auto n : {kSurveySignal, kSurveyFrequency, kSurveyWidth, kSurveyLoad, kSurveyStations,
                       kSurveyUtilization, kSurveyWps, kSurveyKeys, kSurveyBitrate})
    survey_set(&full, n, n == kSurveySignal ? -48 : n == kSurveyBitrate ? 6000000000 : 0);
  full.name[kSurveyBand] = "5";
  full.name[kSurveyGroup] = "CCMP";
  snprintf(full.country, sizeof full.country, "\"\\");
  snprintf(full.akm, sizeof full.akm, "PSK SAE ");
  network_survey bare{};
  bare.given = 1 << kSurveyKeys;
  const struct {
    const network_survey *survey;
    json_run run;
    std::string members;
  } rows[] = {
      {&full,
       {"wlan0", "WE", false, 1765152000, "wlan0 is down"},
       "\"cached_at\": \"2025-12-08T00:00:00Z\", \"live\": false, \"warning\": \"wlan0 is down\", "
       "\"networks\": [{\"associated\": false, \"signal_dbm\": -48, \"noise_dbm\": null, "
       "\"frequency_mhz\": 0, \"band\": \"5\", \"width_mhz\": 0, \"center_mhz\": null, "
       "\"standard\": null, \"last_seen_ms\": null, \"bss_load\": {\"stations\": 0, "
       "\"utilization_pct\": 0}, \"country\": \"\\\"\\\\\", \"wps\": false, \"encryption\": "
       "{\"akm\": "
       "[\"PSK\", \"SAE\"], \"pairwise\": [], \"group\": \"CCMP\", \"pmf\": null}, "
       "\"bitrate_kbps\": 6000000000}]}\n"},
      {&bare,
       {"wlan0", "WE", false, 951782400},
       "\"cached_at\": \"2000-02-29T00:00:00Z\", \"live\": true, \"warning\": null, "
       "\"networks\": [{\"associated\": false, \"signal_dbm\": null, \"noise_dbm\": null, "
       "\"frequency_mhz\": null, \"band\": null, \"width_mhz\": null, \"center_mhz\": null, "
       "\"standard\": null, \"last_seen_ms\": null, \"bss_load\": null, \"country\": null, "
       "\"wps\": null, \"encryption\": {\"akm\": [], \"pairwise\": [], \"group\": null, \"pmf\": "
       "null}, \"bitrate_kbps\": null}]}\n"},
      {nullptr,
       {"wlan0", "WE", true},
       "\"cached_at\": null, \"live\": true, \"warning\": null, \"networks\": [{\"associated\": "
       "false, \"signal_dbm\": null, \"noise_dbm\": null, \"frequency_mhz\": null, \"band\": null, "
       "\"width_mhz\": null, \"center_mhz\": null, \"standard\": null, \"last_seen_ms\": null, "
       "\"bss_load\": null, \"country\": null, \"wps\": null, \"encryption\": null, "
       "\"bitrate_kbps\": null}]}\n"},
  };
  for (const auto &r : rows) {
    list_clear();
    network_entry *e = list_append_new();
    ASSERT_NE(e, nullptr);
    if (r.survey != nullptr) *list_add_survey(e) = *r.survey;
    std::string doc = written([&](FILE *f) { write_json(f, r.run); });
    // The line's members of the network are the writer's other tests'.
    const size_t from = doc.find("\"associated\"");
    ASSERT_NE(from, std::string::npos);
    const size_t essid = doc.find("{\"essid\"") + 1;
    doc.erase(essid, from - essid);
    EXPECT_EQ(doc.substr(doc.find("\"schema\": 1, ") + 13), r.members);
  }
  list_clear();
}

}  // namespace
