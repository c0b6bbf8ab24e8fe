// SPDX-License-Identifier: MIT
// The one clock of the program's waits and its summary.
#pragma once

#include <cstdint>

// Microseconds on the monotonic clock; 64 bits, as microseconds since boot
// overflow a 32-bit long within the hour.
int64_t monotonic_us();
