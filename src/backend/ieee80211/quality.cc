// SPDX-License-Identifier: MIT
#include <cstdint>

#include "backend/ieee80211/ieee80211.h"

namespace {

// Percent for a signal-to-noise ratio: the first row whose bound is not below
// the ratio. Linear (5 per dB) from 10 to 21 dB, coarser above, never 0.
struct SnrStep {
  uint8_t max_db;
  uint8_t percent;
};
constexpr SnrStep kSnrSteps[] = {
    {9, 5},   {10, 10}, {11, 15}, {12, 20}, {13, 25}, {14, 30}, {15, 35},
    {16, 40}, {17, 45}, {18, 50}, {19, 55}, {20, 60}, {21, 65}, {23, 70},
    {25, 75}, {27, 80}, {29, 85}, {33, 90}, {39, 95},
};

int snr_percent(int snr_db) {
  for (const SnrStep &step : kSnrSteps)
    if (snr_db <= step.max_db) return step.percent;
  return 100;
}

}  // namespace

int signal_percent(const signal_record &s) {
  if (s.has_quality)
    return s.quality_max > 0 ? s.quality * 100 / s.quality_max : clamp_percent(s.quality);
  if (s.has_level && s.has_noise) return snr_percent(s.level_dbm - s.noise_dbm);
  if (!s.has_level) return -1;
  if (s.level_dbm <= -110) return 0;
  if (s.level_dbm >= -40) return 100;
  return (s.level_dbm + 110) * 100 / 70;
}
