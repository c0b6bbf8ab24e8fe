// SPDX-License-Identifier: MIT
#include "backend/ieee80211/channel_plan.h"

namespace {

// Channel n of a band whose channels lie at base + 5 * n MHz, or -1.
int band_channel(long mhz, long base, int first, int last) {
  long offset = mhz - base;
  if (offset % 5 != 0) return -1;
  long channel = offset / 5;
  if (channel < first || channel > last) return -1;
  return static_cast<int>(channel);
}

}  // namespace

int channel_of_mhz(long mhz) {
  if (mhz == 2484) return 14;
  if (mhz >= 2412 && mhz <= 2472) return band_channel(mhz, 2407, 1, 13);
  if (mhz >= 4910 && mhz <= 4995) return band_channel(mhz, 4000, 182, 199);
  if (mhz >= 5005 && mhz <= 5920) return band_channel(mhz, 5000, 1, 184);
  if (mhz == 5935) return 2;
  if (mhz >= 5955 && mhz <= 7115) return band_channel(mhz, 5950, 1, 233);
  return -1;
}

const char *band_of_mhz(long mhz) {
  if (mhz >= 2400 && mhz < 2500) return "2.4";
  if (mhz >= 4900 && mhz < 5925) return "5";
  if (mhz >= 5925 && mhz <= 7125) return "6";
  if (mhz >= 57000 && mhz <= 71000) return "60";
  return nullptr;
}
