// SPDX-License-Identifier: MIT
#include "netlist/numscan.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>

namespace {

// The readers must take exactly what the C library's sscanf takes for the
// formats that the cache reader is defined by. Compare them on random texts
// made of the characters that matter: blanks, signs, digits of both bases,
// the "0x" prefix, and the separators that stop a number.
std::string random_text(std::mt19937 &rng) {
  static constexpr char kAlphabet[] = " \t\n\v\f\r+-0019aAfFxXg,:%/";
  std::uniform_int_distribution<int> len(0, 6);
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 2);
  std::string s;
  for (int n = len(rng); n > 0; --n) s.push_back(kAlphabet[pick(rng)]);
  return s;
}

struct Scan {
  bool ok;
  long long value;
  std::size_t used;
};

// What sscanf stores with a format of one conversion of type T and "%n".
template <class T>
Scan libc_scan(const std::string &s, const char *format) {
  T v = 0;
  int n = -1;
  bool ok = sscanf(s.c_str(), format, &v, &n) == 1;
  return Scan{ok, v, static_cast<std::size_t>(n)};
}

TEST(NumScanTest, AgreesWithSscanf) {
  // Each reader beside the sscanf format that it stands for; values are
  // compared as the format stores them.
  using numscan::result;
  const struct {
    const char *format;
    Scan (*ours)(const std::string &);
    Scan (*libc)(const std::string &, const char *);
  } formats[] = {
      {"%2hhx%n",
       [](const std::string &s) {
         result r = numscan::scan_unsigned(s, 16, 2);
         return Scan{r.ok, static_cast<unsigned char>(r.value), r.used};
       },
       libc_scan<unsigned char>},
      {"%3u%n",
       [](const std::string &s) {
         result r = numscan::scan_unsigned(s, 10, 3);
         return Scan{r.ok, r.value, r.used};
       },
       libc_scan<unsigned>},
      {"%d%n",  // texts of at most 6 characters: always within range
       [](const std::string &s) {
         result r = numscan::scan_int32(s);
         return Scan{r.ok, r.signed_value, r.used};
       },
       libc_scan<int>},
  };
  std::mt19937 rng(1234);
  for (const auto &f : formats) {
    for (int i = 0; i < 20000; ++i) {
      std::string s = random_text(rng);
      Scan ours = f.ours(s), libc = f.libc(s, f.format);
      SCOPED_TRACE(std::string(f.format) + " on \"" + s + "\"");
      ASSERT_EQ(ours.ok, libc.ok);
      if (!ours.ok) continue;
      EXPECT_EQ(ours.value, libc.value);
      EXPECT_EQ(ours.used, libc.used);
    }
  }
}

TEST(NumScanTest, DecimalLimits) {
  struct Case {
    const char *text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"+0000000000000000000007", true, 7},  // leading zeros are no overflow
      {"2147483648", false, 0},              // too large for the field: refused, not wrapped
      {"-2147483649", false, 0},
      {"99999999999999999999999", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {" \t", false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    numscan::result r = numscan::scan_int32(c.text);
    EXPECT_EQ(r.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(r.signed_value, c.value);
    }
  }
}

TEST(NumScanTest, StopsAtTheEndOfItsText) {
  // The texts are views into a larger buffer: digits beyond the view must
  // not be read.
  const std::string buffer = "1234ff";
  EXPECT_EQ(numscan::scan_unsigned(std::string_view(buffer).substr(0, 1), 10, 3).value, 1u);
  EXPECT_EQ(numscan::scan_unsigned(std::string_view(buffer).substr(4, 1), 16, 2).value, 0xfu);
  EXPECT_EQ(numscan::scan_int32(std::string_view(buffer).substr(0, 2)).signed_value, 12);
  EXPECT_FALSE(numscan::scan_int32(std::string_view(buffer).substr(0, 0)).ok);
}

}  // namespace
