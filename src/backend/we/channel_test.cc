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

struct Case {
  const char *name;
  double value;
  int expected;
};

// A range cut at 2.4 GHz and the lower 5 GHz channels, as dual-band cards
// report it once the 32-entry table is full.
const std::vector<ChannelEntry> kCutRange = {{1, 2412},  {6, 2437},  {11, 2462},
                                             {36, 5180}, {40, 5200}, {100, 5500}};

TEST(ChannelOf, RangeFirstThenChannelPlan) {
  iw_range range = range_of(kCutRange);
  const Case cases[] = {
      {"listed 2.4 GHz", hz(2412), 1},
      {"listed 5 GHz", hz(5500), 100},
      {"unlisted 2.4 GHz", hz(2472), 13},
      {"channel 14", hz(2484), 14},
      {"unlisted upper 5 GHz", hz(5745), 149},
      {"highest 5 GHz", hz(5920), 184},
      {"4.9 GHz public safety", hz(4940), 188},
      {"6 GHz channel 1", hz(5955), 1},
      {"6 GHz channel 2", hz(5935), 2},
      {"6 GHz channel 233", hz(7115), 233},
      {"channel number sent as such", 6.0, 6},
      {"channel number 1 sent as such", 1.0, 1},
      {"high channel number sent as such", 149.0, 149},
      {"off the 5 MHz grid", hz(2413), -2},
      {"between the bands", hz(3000), -2},
      {"above 6 GHz", hz(7200), -2},
      {"fraction of a megahertz", hz(2412.5), -2},
      {"zero", 0.0, -1},
      {"negative", -6.0, -1},
      {"fraction below one", 0.5, -1},
      {"infinite", std::numeric_limits<double>::infinity(), -2},
      {"not a number", std::numeric_limits<double>::quiet_NaN(), -2},
  };
  for (const Case &c : cases) EXPECT_EQ(we_channel_of(c.value, &range), c.expected) << c.name;
}

TEST(ChannelOf, RangeNumberingStandsOverThePlan) {
  // A driver that numbers its channels its own way is believed.
  iw_range range = range_of({{42, 2412}});
  EXPECT_EQ(we_channel_of(hz(2412), &range), 42);
}

TEST(ChannelOf, FrequencyEncodingsAgree) {
  // The same frequency as {m, e} pairs of different scale.
  iw_range range = range_of(kCutRange);
  const iw_freq forms[] = {{5745, 6, 0, 0}, {574500000, 1, 0, 0}, {57450000, 2, 0, 0}};
  for (const iw_freq &f : forms) EXPECT_EQ(we_channel_of(iw_freq2float(&f), &range), 149);
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

TEST(ChannelOf, OversizedFrequencyCountIsBounded) {
  // A count above the table size must not walk past the table.
  iw_range range = range_of(kCutRange);
  range.num_frequency = 255;
  EXPECT_EQ(we_channel_of(hz(2437), &range), 6);
  EXPECT_EQ(we_channel_of(hz(5745), &range), 149);
}

TEST(ChannelOf, NoRange) {
  EXPECT_EQ(we_channel_of(hz(2437), nullptr), 6);
  EXPECT_EQ(we_channel_of(11.0, nullptr), 11);
  EXPECT_EQ(we_channel_of(hz(3000), nullptr), -2);
  EXPECT_EQ(we_channel_of(0.0, nullptr), -1);
}

}  // namespace
