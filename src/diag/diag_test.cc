// SPDX-License-Identifier: MIT
#include "diag/diag.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

TEST(Diag, Records) {
  const std::string long_name(400, 'x');
  const struct {
    const char *name;
    int err;
    const char *what;
    const char *code;  // given; null: the error number's
    std::string expected;
    const char *expected_code;
  } cases[] = {
      {"with the system's text", ENODEV, "wlan0", nullptr, "SIOCSIWSCAN on wlan0: No such device",
       "no-device"},
      {"without an error number", 0, "wlan0", nullptr, "SIOCSIWSCAN on wlan0", "scan-failed"},
      {"a code given", EBUSY, "wlan0", "cache-io", "SIOCSIWSCAN on wlan0: Device or resource busy",
       "cache-io"},
      {"busy", EBUSY, "wlan0", nullptr, "SIOCSIWSCAN on wlan0: Device or resource busy", "busy"},
      {"long text cut, not overrun", EPERM, long_name.c_str(), nullptr,
       "SIOCSIWSCAN on " + std::string(240, 'x'), "no-permission"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    cause why;
    EXPECT_TRUE(cause_set(&why, c.code, c.err, "%s on %s", "SIOCSIWSCAN", c.what));
    // The first failure stays.
    EXPECT_FALSE(cause_set(&why, "no-wext", EIO, "later"));
    EXPECT_EQ(std::string(why.text), c.expected);
    EXPECT_STREQ(why.code, c.expected_code);
    EXPECT_EQ(why.err, c.err);
  }
}

}  // namespace
