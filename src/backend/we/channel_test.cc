// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "backend/we/we.h"

namespace {

struct ChannelEntry {
  int channel;
  int mhz;
};

// A range listing the given channels, as a driver reports its frequency table.
iw_range range_of(const std::vector<ChannelEntry> &list) {
  iw_range range;
  memset(&range, 0, sizeof range);
  range.we_version_compiled = 22;
  for (const ChannelEntry &c : list) {
    iw_freq &f = range.freq[range.num_frequency++];
    f.m = c.mhz * 100000;
    f.e = 1;
    f.i = static_cast<uint8_t>(c.channel);
  }
  return range;
}

double hz(double mhz) { return mhz * 1e6; }

// A range cut at 2.4 GHz and the lower 5 GHz channels, as dual-band cards
// report it once the 32-entry table is full.
const std::vector<ChannelEntry> kCutRange = {{1, 2412},  {6, 2437},  {11, 2462},
                                             {36, 5180}, {40, 5200}, {100, 5500}};

TEST(ChannelOf, RangeFirstThenChannelPlan) {
  const iw_range cut = range_of(kCutRange);
  // A driver that numbers its channels its own way is believed.
  const iw_range own = range_of({{42, 2412}});
  // A count above the table size must not walk past the table.
  iw_range oversized = range_of(kCutRange);
  oversized.num_frequency = 255;
  // The same frequency as {m, e} pairs of different scale.
  const iw_freq forms[] = {{5745, 6, 0, 0}, {574500000, 1, 0, 0}, {57450000, 2, 0, 0}};
  const struct {
    const char *name;
    const iw_range *range;
    double value;
    int expected;
  } cases[] = {
      {"listed 2.4 GHz", &cut, hz(2412), 1},
      {"listed 5 GHz", &cut, hz(5500), 100},
      {"unlisted 2.4 GHz", &cut, hz(2472), 13},
      {"channel 14", &cut, hz(2484), 14},
      {"unlisted upper 5 GHz", &cut, hz(5745), 149},
      {"highest 5 GHz", &cut, hz(5920), 184},
      {"4.9 GHz public safety", &cut, hz(4940), 188},
      {"6 GHz channel 1", &cut, hz(5955), 1},
      {"6 GHz channel 2", &cut, hz(5935), 2},
      {"6 GHz channel 233", &cut, hz(7115), 233},
      {"channel number sent as such", &cut, 6.0, 6},
      {"channel number 1 sent as such", &cut, 1.0, 1},
      {"high channel number sent as such", &cut, 149.0, 149},
      {"off the 5 MHz grid", &cut, hz(2413), -2},
      {"between the bands", &cut, hz(3000), -2},
      {"above 6 GHz", &cut, hz(7200), -2},
      {"fraction of a megahertz", &cut, hz(2412.5), -2},
      {"zero", &cut, 0.0, -1},
      {"negative", &cut, -6.0, -1},
      {"fraction below one", &cut, 0.5, -1},
      {"infinite", &cut, std::numeric_limits<double>::infinity(), -2},
      {"not a number", &cut, std::numeric_limits<double>::quiet_NaN(), -2},
      {"MHz as 10^6", &cut, iw_freq2float(&forms[0]), 149},
      {"MHz as 10^1", &cut, iw_freq2float(&forms[1]), 149},
      {"MHz as 10^2", &cut, iw_freq2float(&forms[2]), 149},
      {"own numbering", &own, hz(2412), 42},
      {"oversized count, listed", &oversized, hz(2437), 6},
      {"oversized count, plan", &oversized, hz(5745), 149},
      {"no range, frequency", nullptr, hz(2437), 6},
      {"no range, channel number", nullptr, 11.0, 11},
      {"no range, between the bands", nullptr, hz(3000), -2},
      {"no range, zero", nullptr, 0.0, -1},
  };
  for (const auto &c : cases) EXPECT_EQ(we_channel_of(c.value, c.range), c.expected) << c.name;
}

// The range is searched as libiw's iw_freq_to_channel searches it: the first
// entry whose converted frequency equals the value, whatever its encoding.
TEST(ChannelOf, RangeLookupAgreesWithLibiw) {
  iw_range range = range_of({{7, 2442}, {8, 2442}, {36, 5180}});
  range.freq[range.num_frequency++] = iw_freq{5745, 6, 149, 0};
  range.freq[range.num_frequency++] = iw_freq{57450000, 2, 150, 0};
  range.freq[range.num_frequency++] = iw_freq{5, 3, 99, 0};  // 5000 Hz
  for (int k = 0; k < range.num_frequency; ++k) {
    double f = iw_freq2float(&range.freq[k]);
    SCOPED_TRACE(f);
    int libiw = iw_freq_to_channel(f, &range);
    ASSERT_GE(libiw, 0);
    EXPECT_EQ(we_channel_of(f, &range), libiw);
  }
  EXPECT_EQ(we_channel_of(hz(2442), &range), 7);
  EXPECT_EQ(we_channel_of(hz(5745), &range), 149);
}

}  // namespace
