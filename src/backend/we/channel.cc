// Channel numbers of the frequencies that drivers report.
#include <cmath>
#include <cstring>

#include "backend/we/we.h"

namespace {

// A range lists at most IW_MAX_FREQUENCIES entries; libiw trusts the count, so
// a larger one is cut down before the lookup walks the table.
int range_channel(double freq, const struct iw_range *range) {
  if (range->num_frequency <= IW_MAX_FREQUENCIES) return iw_freq_to_channel(freq, range);
  struct iw_range bounded;
  memcpy(&bounded, range, sizeof bounded);
  bounded.num_frequency = IW_MAX_FREQUENCIES;
  return iw_freq_to_channel(freq, &bounded);
}

// Channel n of a band whose channels lie at base + 5 * n MHz, or -1.
int band_channel(long mhz, long base, int first, int last) {
  long offset = mhz - base;
  if (offset % 5 != 0) return -1;
  long channel = offset / 5;
  if (channel < first || channel > last) return -1;
  return static_cast<int>(channel);
}

// The IEEE 802.11 channel of a centre frequency in MHz, or -1.
int plan_channel(long mhz) {
  if (mhz == 2484) return 14;
  if (mhz >= 2412 && mhz <= 2472) return band_channel(mhz, 2407, 1, 13);
  if (mhz >= 4910 && mhz <= 4995) return band_channel(mhz, 4000, 182, 199);
  if (mhz >= 5005 && mhz <= 5920) return band_channel(mhz, 5000, 1, 184);
  if (mhz == 5935) return 2;
  if (mhz >= 5955 && mhz <= 7115) return band_channel(mhz, 5950, 1, 233);
  return -1;
}

}  // namespace

int we_channel_of(double freq, const struct iw_range *range) {
  int channel = range != nullptr ? range_channel(freq, range) : (freq < 1000.0 ? -1 : -2);
  if (channel >= 0) return channel;

  // Below 1000 the driver sent the channel number itself (cfg80211 sends it as
  // each cell's first frequency event).
  if (freq >= 1.0 && freq < 1000.0) return static_cast<int>(freq);

  // Upper 5 GHz and 6 GHz channels are missing from a range cut at 32 entries.
  // Only whole megahertz are centre frequencies; NaN and infinities fail the
  // range test before any conversion.
  double mhz = freq / 1e6;
  if (!(mhz >= 2400.0 && mhz <= 7200.0)) return channel;
  // Rounded to the nearest whole megahertz (mhz is positive here) without
  // libm, which the program does not link.
  long whole = static_cast<long>(mhz);
  if (mhz - static_cast<double>(whole) >= 0.5) ++whole;
  if (std::fabs(mhz - static_cast<double>(whole)) > 1e-3) return channel;
  int planned = plan_channel(whole);
  return planned >= 0 ? planned : channel;
}
