// SPDX-License-Identifier: MIT
// The IEEE 802.11 channel plan, shared by the backends.
#pragma once

// The channel number of a centre frequency in whole MHz, or -1 for a
// frequency that is no channel's centre.
int channel_of_mhz(long mhz);

// The band of a frequency in MHz: "2.4", "5", "6" or "60" (GHz), or null
// outside them.
const char *band_of_mhz(long mhz);

// The centre frequency in MHz of channel number channel in the band of
// primary_mhz (an operation element's centre frequency segment), or 0 when
// either is none of the plan's.
long channel_centre_mhz(int channel, long primary_mhz);
