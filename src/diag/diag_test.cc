// SPDX-License-Identifier: MIT
#include "diag/diag.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

class Diag : public ::testing::Test {
 protected:
  void SetUp() override { diag_reset(); }
  void TearDown() override { diag_reset(); }
};

TEST_F(Diag, Records) {
  const std::string long_name(400, 'x');
  const struct {
    const char *name;
    int err;
    const char *hint;
    const char *what;
    std::string expected;
  } cases[] = {
      {"with the system's text", ENODEV, nullptr, "wlan0", "SIOCSIWSCAN on wlan0: No such device"},
      {"without an error number", 0, nullptr, "wlan0", "SIOCSIWSCAN on wlan0"},
      {"with a hint", EPERM, "needs root", "wlan0",
       "SIOCSIWSCAN on wlan0: Operation not permitted (needs root)"},
      {"long text cut, not overrun", EPERM, "hint", long_name.c_str(),
       "SIOCSIWSCAN on " + std::string(240, 'x')},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    diag_reset();
    EXPECT_EQ(diag_failure(), nullptr);
    if (c.hint != nullptr)
      diag_fail_hint(c.err, c.hint, "%s on %s", "SIOCSIWSCAN", c.what);
    else
      diag_fail(c.err, "%s on %s", "SIOCSIWSCAN", c.what);
    // The first failure stays.
    diag_fail(EIO, "later");
    ASSERT_NE(diag_failure(), nullptr);
    EXPECT_EQ(std::string(diag_failure()), c.expected);
  }
}

TEST_F(Diag, CountsStartAtZero) {
  diag_count().passes = 3;
  diag_reset();
  EXPECT_EQ(diag_count().passes, 0u);
  EXPECT_EQ(diag_count().fetches, 0u);
}

}  // namespace
