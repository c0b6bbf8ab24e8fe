// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>

#include "backend/ieee80211/ieee80211.h"

namespace {

TEST(QualityPercent, Table) {
  const struct {
    const char *what;
    bool has_range;
    quality_max range;
    link_quality qual;  // qual, level, noise, updated
    int expected;
  } cases[] = {
      // Without a range, or a level of 0: the quality itself, capped.
      {"no range, q 0", false, {}, {0, 0, 0, 0}, 0},
      {"no range, q 99", false, {}, {99, 0, 0, 0}, 99},
      {"no range, q 100", false, {}, {100, 0, 0, 0}, 100},
      {"no range, q 250", false, {}, {250, 0, 0, 0}, 100},
      {"no range ignores rcpi", false, {}, {40, 5, 5, 0x80}, 40},
      {"no range ignores dbm", false, {}, {150, 5, 5, 0x08}, 100},
      {"level 0, range ignored", true, {50, 0, 0}, {70, 0, 0, 0}, 70},
      {"level 0, q capped", true, {50, 0, 0}, {200, 0, 0, 0}, 100},
      {"level 0, other flags do not count", true, {50, 0, 0}, {70, 0, 0, 0x77}, 70},
      // The dBm and RCPI flags.
      {"dbm, mq 100, no cap", true, {100, 0, 0}, {150, 0xC8, 0, 0x08}, 150},
      {"dbm, mq 70", true, {70, 0, 0}, {35, 0xC8, 0, 0x08}, 50},
      {"dbm, mq 70, truncated", true, {70, 0, 0}, {36, 0xC8, 0, 0x08}, 51},
      {"dbm, q above mq", true, {70, 0, 0}, {140, 0xC8, 0, 0x08}, 200},
      {"dbm with level 0", true, {70, 0, 0}, {35, 0, 0, 0x08}, 50},
      {"dbm and rcpi: dbm wins", true, {70, 0, 0}, {35, 0xC8, 0, 0x88}, 50},
      {"rcpi", true, {70, 0, 0}, {35, 0xC8, 0, 0x80}, -1},
      {"rcpi with level 0", true, {70, 0, 0}, {35, 0, 0, 0x80}, -1},
      {"dbm, mq 0, q 80", true, {0, 0, 0}, {80, 0xC8, 0, 0x08}, 80},
      {"dbm, mq 0, q 200", true, {0, 0, 0}, {200, 0xC8, 0, 0x08}, 100},
      // Relative values. In the first two, level and noise are above their
      // maxima: their ratio (40 dB) would give 100, but the quality decides.
      {"mq 100, q within", true, {100, 0, 0}, {80, 0xC8, 0xA0, 0}, 80},
      {"mq 100, q 100", true, {100, 0, 0}, {100, 0xC8, 0xA0, 0}, 100},
      {"mq 94, q 47", true, {94, 255, 0}, {47, 10, 0, 0}, 50},
      {"mq 94, q 93 truncated", true, {94, 255, 0}, {93, 10, 0, 0}, 98},
      {"noise within only", true, {94, 0, 255}, {47, 10, 10, 0}, 50},
      {"level at its maximum, noise above", true, {50, 200, 205}, {25, 200, 210, 0}, 50},
      {"noise at its maximum, level above", true, {50, 190, 210}, {25, 200, 210, 0}, 50},
      {"mq 50, q 200 as signed", true, {50, 255, 0}, {200, 10, 0, 0}, -56},
      {"mq 50, q 120 capped", true, {50, 255, 0}, {120, 10, 0, 0}, 100},
      {"mq 50, q 127", true, {50, 255, 0}, {127, 10, 0, 0}, 100},
      {"mq 50, q 128", true, {50, 255, 0}, {128, 10, 0, 0}, -128},
      {"mq 50, q 255", true, {50, 255, 0}, {255, 10, 0, 0}, -1},
      {"mq 50, q 99 above mq", true, {50, 255, 0}, {99, 10, 0, 0}, 99},
      {"mq 100, q 150 not within", true, {100, 255, 0}, {150, 10, 0, 0}, -106},
      {"mq 0, q 0", true, {0, 255, 0}, {0, 10, 0, 0}, 0},
      {"mq 0, q 5", true, {0, 255, 0}, {5, 10, 0, 0}, 5},
  };
  for (const auto &c : cases)
    EXPECT_EQ(quality_percent(&c.qual, c.has_range ? &c.range : nullptr), c.expected) << c.what;
}

TEST(QualityPercent, SignalToNoise) {
  // Range mq 70, ml 0, mn 0: a nonzero level and noise are both above their
  // maxima, so the ratio of level to noise (as dBm) decides.
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
  const quality_max range{70, 0, 0};
  for (const auto &s : table) {
    const link_quality qual{40, static_cast<uint8_t>(s.level_dbm),
                            static_cast<uint8_t>(s.noise_dbm), 0};
    EXPECT_EQ(quality_percent(&qual, &range), s.expected)
        << "level " << int(s.level_dbm) << " noise " << int(s.noise_dbm);
  }
}

}  // namespace
