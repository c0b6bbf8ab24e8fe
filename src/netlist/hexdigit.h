// SPDX-License-Identifier: MIT
// Values of hexadecimal digits, for the cache reader, the list's address
// index and the scan decoder's element texts: one table in the program.
#pragma once

namespace hexdigit {

// What the table gives for a character that is no hexadecimal digit.
inline constexpr unsigned char kNotHex = 16;

struct table {
  unsigned char value[256];
  constexpr table() : value{} {
    for (unsigned char &v : value) v = kNotHex;
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 6; ++i) {
      value['a' + i] = static_cast<unsigned char>(10 + i);
      value['A' + i] = static_cast<unsigned char>(10 + i);
    }
  }
  // 0 to 15 for a digit of either case, else kNotHex.
  constexpr unsigned char operator[](char c) const { return value[static_cast<unsigned char>(c)]; }
};

inline constexpr table kValue;

// The digits that the line writer and the JSON writer print.
inline constexpr char kLowerDigits[] = "0123456789abcdef";

}  // namespace hexdigit
