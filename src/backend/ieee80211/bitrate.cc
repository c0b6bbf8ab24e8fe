// SPDX-License-Identifier: MIT
#include <cstdio>

#include "backend/ieee80211/ieee80211.h"

int format_bitrate(uint64_t bps, char *buf, uint32_t size) {
  if (size == 0) return -1;
  uint64_t number;
  char unit;
  if (bps > 999999999u) {
    number = bps / 1000000000u;
    unit = 'G';
  } else if (bps >= 1000000u) {
    number = bps / 1000000u;
    unit = 'M';
  } else if (bps >= 1000u) {
    number = bps / 1000u;
    unit = 'k';
  } else {
    return -1;
  }
  const int len =
      snprintf(buf, size, "%llu %cbit/s", static_cast<unsigned long long>(number), unit);
  if (len < 0 || static_cast<uint32_t>(len) >= size) {
    buf[0] = '\0';
    return -1;
  }
  return 0;
}
