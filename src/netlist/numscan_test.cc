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
  static constexpr char kAlphabet[] = " \t\n+-0019aAfFxXg,:%/";
  std::uniform_int_distribution<int> len(0, 6);
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 2);
  std::string s;
  for (int n = len(rng); n > 0; --n) s.push_back(kAlphabet[pick(rng)]);
  return s;
}

TEST(NumScanTest, HexByteAgreesWithSscanf) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 20000; ++i) {
    std::string s = random_text(rng);
    unsigned char want = 0;
    int used = -1;
    int converted = sscanf(s.c_str(), "%2hhx%n", &want, &used);
    numscan::result got = numscan::scan_unsigned(s, 16, 2);
    SCOPED_TRACE("text \"" + s + "\"");
    ASSERT_EQ(got.ok, converted == 1);
    if (!got.ok) continue;
    EXPECT_EQ(static_cast<unsigned char>(got.value), want);
    EXPECT_EQ(got.used, static_cast<std::size_t>(used));
  }
}

TEST(NumScanTest, ThreeDigitUnsignedAgreesWithSscanf) {
  std::mt19937 rng(5678);
  for (int i = 0; i < 20000; ++i) {
    std::string s = random_text(rng);
    unsigned want = 0;
    int used = -1;
    int converted = sscanf(s.c_str(), "%3u%n", &want, &used);
    numscan::result got = numscan::scan_unsigned(s, 10, 3);
    SCOPED_TRACE("text \"" + s + "\"");
    ASSERT_EQ(got.ok, converted == 1);
    if (!got.ok) continue;
    EXPECT_EQ(got.value, want);
    EXPECT_EQ(got.used, static_cast<std::size_t>(used));
  }
}

TEST(NumScanTest, DecimalAgreesWithSscanfWithinRange) {
  std::mt19937 rng(91011);
  for (int i = 0; i < 20000; ++i) {
    std::string s = random_text(rng);
    int want = 0;
    int used = -1;
    int converted = sscanf(s.c_str(), "%d%n", &want, &used);
    numscan::result got = numscan::scan_int32(s);
    SCOPED_TRACE("text \"" + s + "\"");
    ASSERT_EQ(got.ok, converted == 1);
    if (!got.ok) continue;
    EXPECT_EQ(got.signed_value, want);
    EXPECT_EQ(got.used, static_cast<std::size_t>(used));
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
