// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "backend/ieee80211/ieee80211.h"

namespace {

TEST(FormatBitrate, Table) {
  struct Case {
    uint64_t bps;
    const char *text;  // null: buffer untouched
    int result;
  };
  const Case cases[] = {
      {0, nullptr, -1},
      {999, nullptr, -1},
      {1000, "1 kbit/s", 0},
      {999999, "999 kbit/s", 0},
      {1000000, "1 Mbit/s", 0},
      {5500000, "5 Mbit/s", 0},
      {54000000, "54 Mbit/s", 0},
      {999999999, "999 Mbit/s", 0},
      {1000000000, "1 Gbit/s", 0},
      {4294967295u, "4 Gbit/s", 0},
      {static_cast<uint32_t>(-1), "4 Gbit/s", 0},
      {4803900000u, "4 Gbit/s", 0},    // Wi-Fi 6, 4x4 160 MHz
      {46000000000u, "46 Gbit/s", 0},  // Wi-Fi 7
      {UINT64_MAX, "", -1},            // 18446744073 does not fit: emptied
  };
  for (const Case &c : cases) {
    char buf[11];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(format_bitrate(c.bps, buf, 11), c.result) << c.bps;
    if (c.text)
      EXPECT_STREQ(buf, c.text) << c.bps;
    else
      EXPECT_EQ(std::string(buf, sizeof buf), std::string(11, 'x')) << c.bps;
  }
}

TEST(FormatBitrate, Sizes) {
  char buf[16];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(format_bitrate(54000000, buf, 9), -1);
  EXPECT_EQ(buf[0], '\0');  // did not fit: emptied
  EXPECT_EQ(format_bitrate(54000000, buf, 10), 0);
  EXPECT_STREQ(buf, "54 Mbit/s");
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(format_bitrate(54000000, buf, 0), -1);
  EXPECT_EQ(buf[0], 'x');  // size 0: nothing written
}

}  // namespace
