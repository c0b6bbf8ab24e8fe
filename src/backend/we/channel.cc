// SPDX-License-Identifier: MIT
// Channel numbers of the frequencies that drivers report.
#include <cmath>

#include "backend/ieee80211/channel_plan.h"
#include "backend/we/we.h"

namespace {

// What libiw's iw_freq_to_channel gives (-1 below 1000, the channel of the
// first entry whose frequency equals freq, else -2), over at most
// IW_MAX_FREQUENCIES entries: libiw trusts the count, which a driver may
// send larger. Each entry is converted by libiw as there, so the values
// compared are the same.
int range_channel(double freq, const struct iw_range *range) {
  if (freq < 1000.0) return -1;
  const int count = range->num_frequency < IW_MAX_FREQUENCIES ? range->num_frequency
                                                              : IW_MAX_FREQUENCIES;
  for (int k = 0; k < count; ++k)
    if (freq == iw_freq2float(&range->freq[k])) return range->freq[k].i;
  return -2;
}

}  // namespace

long we_mhz_of(double freq) {
  // Only whole megahertz are centre frequencies; NaN and infinities fail the
  // range test before any conversion.
  const double mhz = freq / 1e6;
  if (!(mhz >= 2400.0 && mhz <= 71000.0)) return 0;
  // Rounded to the nearest whole megahertz (mhz is positive here) without
  // libm, which the program does not link.
  long whole = static_cast<long>(mhz);
  if (mhz - static_cast<double>(whole) >= 0.5) ++whole;
  return std::fabs(mhz - static_cast<double>(whole)) > 1e-3 ? 0 : whole;
}

int we_channel_of(double freq, const struct iw_range *range) {
  int channel = range != nullptr ? range_channel(freq, range) : (freq < 1000.0 ? -1 : -2);
  if (channel >= 0) return channel;

  // Below 1000 the driver sent the channel number itself (cfg80211 sends it as
  // each cell's first frequency event).
  if (freq >= 1.0 && freq < 1000.0) return static_cast<int>(freq);

  // Upper 5 GHz and 6 GHz channels are missing from a range cut at 32 entries.
  int planned = channel_of_mhz(we_mhz_of(freq));
  return planned >= 0 ? planned : channel;
}
