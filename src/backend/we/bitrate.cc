#include <cstdio>

#include "backend/we/we.h"

int format_bitrate(uint32_t bps, char *buf, uint32_t size) {
  if (size == 0) return -1;
  uint32_t number;
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
  int n = snprintf(buf, size, "%d %cbit/s", static_cast<int>(number), unit);
  if (n < 0 || static_cast<uint32_t>(n) >= size) {
    buf[0] = '\0';
    return -1;
  }
  return 0;
}
