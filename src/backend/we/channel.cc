// Channel numbers of the frequencies that drivers report.
#include <cmath>
#include <cstring>

#include "backend/channel_plan.h"
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
  int planned = channel_of_mhz(whole);
  return planned >= 0 ? planned : channel;
}
