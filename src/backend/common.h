// SPDX-License-Identifier: MIT
// What the backends share beyond the 802.11 pieces: the small helpers that
// fill network entries.
#pragma once

#include <cstdint>

#include "backend/ieee80211/ieee80211.h"
#include "netlist/netlist.h"

// Stores a percentage as the entry's quality; a negative one (none) leaves it.
void set_quality(network_entry *entry, int percent);

// The first entry whose address text equals bssid as strncmp over the field
// would find it, by a walk with the list's cursor; null when none does.
network_entry *find_entry(const char (&bssid)[18]);
