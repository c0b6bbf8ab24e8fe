// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "backend/ieee80211/ieee80211.h"

namespace {

TEST(FormatBitrate, Table) {
  const struct {
    uint64_t bps;
    uint32_t size;
    const char *text;  // null: buffer untouched
    int result;
  } cases[] = {
      {0, 11, nullptr, -1},
      {999, 11, nullptr, -1},
      {1000, 11, "1 kbit/s", 0},
      {999999, 11, "999 kbit/s", 0},
      {1000000, 11, "1 Mbit/s", 0},
      {5500000, 11, "5 Mbit/s", 0},
      {54000000, 11, "54 Mbit/s", 0},
      {999999999, 11, "999 Mbit/s", 0},
      {1000000000, 11, "1 Gbit/s", 0},
      {4294967295u, 11, "4 Gbit/s", 0},
      {static_cast<uint32_t>(-1), 11, "4 Gbit/s", 0},
      {4803900000u, 11, "4 Gbit/s", 0},    // Wi-Fi 6, 4x4 160 MHz
      {46000000000u, 11, "46 Gbit/s", 0},  // Wi-Fi 7
      {UINT64_MAX, 11, "", -1},            // 18446744073 does not fit: emptied
      {54000000, 9, "", -1},               // emptied
      {54000000, 10, "54 Mbit/s", 0},
      {54000000, 0, nullptr, -1},  // size 0: nothing written
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.bps) + " in " + std::to_string(c.size));
    char buf[11];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(format_bitrate(c.bps, buf, c.size), c.result);
    if (c.text)
      EXPECT_STREQ(buf, c.text);
    else
      EXPECT_EQ(std::string(buf, sizeof buf), std::string(11, 'x'));
  }
}

}  // namespace
