// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>

#include "backend/ieee80211/ieee80211.h"

namespace {

// The three figures in their order, each on its own.
TEST(SignalPercent, Figures) {
  const struct {
    const char *what;
    signal_record s;
    int expected;
  } cases[] = {
      {"none", {}, -1},
      {"quality of 70", {.has_quality = true, .quality = 35, .quality_max = 70}, 50},
      {"truncated", {.has_quality = true, .quality = 36, .quality_max = 70}, 51},
      {"above its maximum", {.has_quality = true, .quality = 140, .quality_max = 70}, 200},
      {"no maximum: capped", {.has_quality = true, .quality = 250}, 100},
      {"quality before level", {true, 10, 100, true, -50, true, -95}, 10},
      {"level -110 dBm", {.has_level = true, .level_dbm = -110}, 0},
      {"level -75 dBm", {.has_level = true, .level_dbm = -75}, 50},
      {"level -41 dBm", {.has_level = true, .level_dbm = -41}, 98},
      {"level -40 dBm", {.has_level = true, .level_dbm = -40}, 100},
      {"noise alone", {.has_noise = true, .noise_dbm = -95}, -1},
  };
  for (const auto &c : cases) EXPECT_EQ(signal_percent(c.s), c.expected) << c.what;
}

TEST(SignalPercent, SignalToNoise) {
  const struct {
    int8_t level_dbm;
    int8_t noise_dbm;
    int expected;
  } table[] = {
      {-56, -96, 100}, {-56, -65, 5},   {-56, -74, 50}, {-90, -30, 5},  {-1, -1, 5},
      {-60, -69, 5},   {-60, -70, 10},  {-60, -71, 15}, {-60, -72, 20}, {-60, -73, 25},
      {-60, -74, 30},  {-60, -75, 35},  {-60, -76, 40}, {-60, -77, 45}, {-60, -78, 50},
      {-60, -79, 55},  {-60, -80, 60},  {-60, -81, 65}, {-60, -82, 70}, {-60, -83, 70},
      {-60, -84, 75},  {-60, -85, 75},  {-60, -86, 80}, {-60, -87, 80}, {-60, -88, 85},
      {-60, -89, 85},  {-60, -90, 90},  {-60, -93, 90}, {-60, -94, 95}, {-50, -89, 95},
      {-50, -90, 100}, {-1, -128, 100},
  };
  for (const auto &s : table) {
    const signal_record r{.has_level = true,
                          .level_dbm = s.level_dbm,
                          .has_noise = true,
                          .noise_dbm = s.noise_dbm};
    EXPECT_EQ(signal_percent(r), s.expected)
        << "level " << int(s.level_dbm) << " noise " << int(s.noise_dbm);
  }
}

}  // namespace
