// SPDX-License-Identifier: MIT
#include "diag/clock.h"

#include <time.h>

int64_t monotonic_us() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}
