// SPDX-License-Identifier: MIT
#include "netlist/numscan.h"

namespace numscan {
namespace {

// The blanks that scanf skips in the C locale.
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c, unsigned base) {
  int v = -1;
  if (c >= '0' && c <= '9')
    v = c - '0';
  else if (c >= 'a' && c <= 'f')
    v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    v = c - 'A' + 10;
  return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

std::size_t skip_blanks(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  return i;
}

}  // namespace

result scan_unsigned(std::string_view text, unsigned base, std::size_t width) {
  result r;
  std::size_t i = skip_blanks(text);
  std::size_t end = text.size() - i > width ? i + width : text.size();
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool any = false;
  uint32_t value = 0;
  if (base == 16 && i < end && text[i] == '0') {
    // "0x" is a prefix, but its "0" alone already counts as a number.
    any = true;
    ++i;
    if (i < end && (text[i] == 'x' || text[i] == 'X')) ++i;
  }
  for (int d; i < end && (d = digit_value(text[i], base)) >= 0; ++i) {
    value = value * base + static_cast<uint32_t>(d);
    any = true;
  }
  if (!any) return r;
  r.ok = true;
  r.used = i;
  r.value = negative ? 0u - value : value;
  return r;
}

result scan_int32(std::string_view text) {
  result r;
  std::size_t i = skip_blanks(text);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate the magnitude, which may reach 2^31 for the negative limit.
  constexpr uint64_t kLimit = uint64_t{1} << 31;
  uint64_t magnitude = 0;
  bool any = false;
  for (int d; i < text.size() && (d = digit_value(text[i], 10)) >= 0; ++i) {
    magnitude = magnitude * 10 + static_cast<uint64_t>(d);
    if (magnitude > kLimit) return r;
    any = true;
  }
  if (!any || (!negative && magnitude == kLimit)) return r;
  r.ok = true;
  r.used = i;
  r.signed_value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                            : static_cast<int32_t>(magnitude);
  return r;
}

}  // namespace numscan
