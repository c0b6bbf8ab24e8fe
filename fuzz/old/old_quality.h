// SPDX-License-Identifier: MIT
// The quality records and percentage of the earlier decoding paths
// (fuzz/old/): the Wireless Extensions quality record as the shared type.
#pragma once

#include <cstdint>

#include "backend/ieee80211/ieee80211.h"
#include "netlist/netlist.h"

namespace old_path {

struct link_quality {
  uint8_t qual;
  uint8_t level;
  uint8_t noise;
  uint8_t updated;
};
inline constexpr uint8_t kQualQualUpdated = 0x01;
inline constexpr uint8_t kQualLevelUpdated = 0x02;
inline constexpr uint8_t kQualDbm = 0x08;
inline constexpr uint8_t kQualQualInvalid = 0x10;
inline constexpr uint8_t kQualNoiseInvalid = 0x40;
inline constexpr uint8_t kQualRcpi = 0x80;
struct quality_max {
  uint8_t qual;
  uint8_t level;
  uint8_t noise;
};
constexpr bool quality_usable(const link_quality &qual) {
  if (qual.updated & kQualQualInvalid) return false;
  return qual.level != 0 || (qual.updated & (kQualDbm | kQualRcpi)) != 0;
}

// Percent for a signal-to-noise ratio: the first row whose bound is not below
// the ratio. Linear (5 per dB) from 10 to 21 dB, coarser above, never 0.
struct SnrStep {
  uint8_t max_db;
  uint8_t percent;
};
inline constexpr SnrStep kSnrSteps[] = {
    {9, 5},   {10, 10}, {11, 15}, {12, 20}, {13, 25}, {14, 30}, {15, 35},
    {16, 40}, {17, 45}, {18, 50}, {19, 55}, {20, 60}, {21, 65}, {23, 70},
    {25, 75}, {27, 80}, {29, 85}, {33, 90}, {39, 95},
};

inline int snr_percent(int snr_db) {
  for (const SnrStep &step : kSnrSteps)
    if (snr_db <= step.max_db) return step.percent;
  return 100;
}

inline int as_signed(uint8_t v) { return static_cast<int8_t>(v); }

inline int quality_percent(const link_quality *qual, const quality_max *range) {
  const uint8_t q = qual->qual;
  const uint8_t l = qual->level;
  const uint8_t n = qual->noise;
  const uint8_t u = qual->updated;

  if (range == nullptr) return clamp_percent(q);
  if (l == 0 && (u & (kQualDbm | kQualRcpi)) == 0) return clamp_percent(q);

  const uint8_t mq = range->qual;
  if (u & kQualDbm) {
    if (mq == 100) return q;
    // A driver that gives no maximum is read like one that gives no range.
    if (mq == 0) return clamp_percent(q);
    return q * 100 / mq;
  }
  if (u & kQualRcpi) return -1;

  const bool q_within = q <= mq;
  const bool l_within = l <= range->level;
  const bool n_within = n <= range->noise;
  if (q_within && mq == 100) return q;
  if (l_within || n_within) {
    if (q_within) return mq == 0 ? 0 : q * 100 / mq;  // mq 0 means q is 0 too
    const int sq = as_signed(q);
    return sq < 100 ? sq : 100;
  }
  // Both levels are above their maxima, so both are dBm values.
  return snr_percent(as_signed(l) - as_signed(n));
}

inline void set_quality(network_entry *entry, int percent) {
  if (percent >= 0) entry->quality = static_cast<uint8_t>(clamp_percent(percent));
}

}  // namespace old_path
