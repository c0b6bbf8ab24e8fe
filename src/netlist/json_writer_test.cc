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
// (a cache file with rate pieces): only the associated network's is written.
TEST(JsonWriter, BitRateOfTheAssociatedNetworkOnly) {
  list_clear();
  for (const int current : {0, 1}) {
    network_entry *e = list_append_new();
    ASSERT_NE(e, nullptr);
    e->current = current;
    snprintf(e->bitrate, sizeof e->bitrate, "54 Mbit/s");
  }
  const std::string doc = written([](FILE *f) { write_json(f, {"wlan0", "WE", "cached"}); });
  list_clear();
  EXPECT_NE(doc.find("\"bitrate\": null, \"associated\": false, "), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"bitrate\": \"54 Mbit/s\", \"associated\": true, "), std::string::npos);
}

// The survey's members: a zero that is given is written, what is not given
// is null, an object not given is null whole; the run's members beside them.
TEST(JsonWriter, SurveyAndRunMembers) {
  network_survey full{};
  for (const auto n : {kSurveySignal, kSurveyFrequency, kSurveyLoad, kSurveyStations,
                       kSurveyUtilization, kSurveyWps, kSurveyKeys, kSurveyBitrate})
    survey_set(&full, n, n == kSurveySignal ? -48 : n == kSurveyBitrate ? 6000000000 : 0);
  full.name[kSurveyBand] = "5";
  snprintf(full.country, sizeof full.country, "\"\\");
  snprintf(full.akm, sizeof full.akm, "PSK SAE ");
  const std::pair<json_run, std::string> rows[] = {
      {{"wlan0", "WE", "cached", 951782400, "wlan0 is down"},
       "\"cached_at\": \"2000-02-29T00:00:00Z\", \"live\": false, \"warning\": \"wlan0 is down\", "
       "\"networks\": [{\"associated\": false, \"signal_dbm\": -48, \"noise_dbm\": null, "
       "\"frequency_mhz\": 0, \"band\": \"5\", \"width_mhz\": null, \"center_mhz\": null, "
       "\"standard\": null, \"last_seen_ms\": null, \"bss_load\": {\"stations\": 0, "
       "\"utilization_pct\": 0}, \"country\": \"\\\"\\\\\", \"wps\": false, \"encryption\": "
       "{\"akm\": "
       "[\"PSK\", \"SAE\"], \"pairwise\": [], \"group\": null, \"pmf\": null}, \"bitrate_kbps\": "
       "6000000000}]}\n"},
      {{"wlan0", "WE", "refresh"},
       "\"cached_at\": null, \"live\": true, \"warning\": null, \"networks\": [{\"associated\": "
       "false, \"signal_dbm\": null, \"noise_dbm\": null, \"frequency_mhz\": null, \"band\": null, "
       "\"width_mhz\": null, \"center_mhz\": null, \"standard\": null, \"last_seen_ms\": null, "
       "\"bss_load\": null, \"country\": null, \"wps\": null, \"encryption\": null, "
       "\"bitrate_kbps\": null}]}\n"},
  };
  for (const auto &[given, members] : rows) {
    const json_run &run = given;  // a lambda captures no structured binding in clang 14
    list_clear();
    network_entry *e = list_append_new();
    // The second row's network has no record, as one read from a cache.
    if (run.cached_at >= 0) *list_add_survey(e) = full;
    std::string doc = written([&](FILE *f) { write_json(f, run); });
    // The line's members of the network are the writer's other tests'.
    doc.erase(doc.find("{\"essid\"") + 1, doc.find("\"associated\"") - doc.find("{\"essid\"") - 1);
    EXPECT_EQ(doc.substr(doc.find("\"schema\": 1, ") + 13), members);
  }
  list_clear();
}

}  // namespace
