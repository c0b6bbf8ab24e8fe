// SPDX-License-Identifier: MIT
#include "backend/common.h"

#include <cstring>

void set_quality(network_entry *entry, int percent) {
  if (percent >= 0) entry->quality = static_cast<uint8_t>(clamp_percent(percent));
}

network_entry *find_entry(const char (&bssid)[18]) {
  for (network_entry *entry = list_first(); entry != nullptr; entry = list_next())
    if (strncmp(entry->bssid, bssid, sizeof entry->bssid) == 0) return entry;
  return nullptr;
}
