// SPDX-License-Identifier: MIT
// The IEEE 802.11 channel plan, shared by the backends.
#pragma once

// The channel number of a centre frequency in whole MHz, or -1 for a
// frequency that is no channel's centre.
int channel_of_mhz(long mhz);

// The band of a frequency in MHz: "2.4", "5", "6" or "60" (GHz), or null
// outside them.
const char *band_of_mhz(long mhz);
