// SPDX-License-Identifier: MIT
#include <initializer_list>

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
  // "%d %cbit/s" without printf: number has at most 11 digits.
  char text[24];
  char digits[12];
  uint32_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  uint32_t len = 0;
  while (n > 0) text[len++] = digits[--n];
  for (char c : {' ', unit, 'b', 'i', 't', '/', 's'}) text[len++] = c;
  if (len >= size) {
    buf[0] = '\0';
    return -1;
  }
  for (uint32_t i = 0; i < len; ++i) buf[i] = text[i];
  buf[len] = '\0';
  return 0;
}
