// SPDX-License-Identifier: MIT
// Number readers for the cache reader. They accept exactly what the C
// library's sscanf accepts for "%<width>hhx", "%<width>u" and "%d" at the
// start of a text (blanks skipped, an optional sign, for base 16 an optional
// "0x"), but never look past the text they are given and fail, rather than
// wrap, on a signed value that does not fit. sscanf's rules because the
// cache format is defined by those conversions, so a cache file reads here as
// it does for any reader built on sscanf; not sscanf itself because it needs
// a terminated text and may read on past the field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace numscan {

struct result {
  bool ok = false;       // a number was converted
  std::size_t used = 0;  // characters consumed, skipped blanks included
  uint32_t value = 0;    // scan_unsigned: the value as %u stores it (a sign negates modulo 2^32)
  int32_t signed_value = 0;  // scan_int32
};

// An unsigned number in base 10 or 16 of at most `width` characters, the sign
// and a "0x" counted; leading blanks are not counted.
result scan_unsigned(std::string_view text, unsigned base, std::size_t width);

// A signed decimal number of any length; fails when it does not fit 32 bits.
result scan_int32(std::string_view text);

}  // namespace numscan
