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
  const struct {
    const char *name;
    int err;
    const char *hint;
    std::string expected;
  } cases[] = {
      {"with the system's text", ENODEV, nullptr, "SIOCSIWSCAN on wlan0: No such device"},
      {"without an error number", 0, nullptr, "SIOCSIWSCAN on wlan0"},
      {"with a hint", EPERM, "needs root",
       "SIOCSIWSCAN on wlan0: Operation not permitted (needs root)"},
  };
  for (const auto &c : cases) {
    diag_reset();
    EXPECT_EQ(diag_failure(), nullptr) << c.name;
    if (c.hint != nullptr)
      diag_fail_hint(c.err, c.hint, "%s on %s", "SIOCSIWSCAN", "wlan0");
    else
      diag_fail(c.err, "%s on %s", "SIOCSIWSCAN", "wlan0");
    ASSERT_NE(diag_failure(), nullptr) << c.name;
    EXPECT_EQ(std::string(diag_failure()), c.expected) << c.name;
  }
}

TEST_F(Diag, FirstFailureStays) {
  diag_fail(EAGAIN, "scan on %s", "wlan0");
  diag_fail(EIO, "later");
  EXPECT_EQ(std::string(diag_failure()), "scan on wlan0: Resource temporarily unavailable");
}

TEST_F(Diag, LongTextIsCutNotOverrun) {
  std::string name(400, 'x');
  diag_fail_hint(EPERM, "hint", "%s", name.c_str());
  ASSERT_NE(diag_failure(), nullptr);
  EXPECT_EQ(std::string(diag_failure()), std::string(255, 'x'));
}

TEST_F(Diag, CountsStartAtZero) {
  diag_count().passes = 3;
  diag_reset();
  EXPECT_EQ(diag_count().passes, 0u);
  EXPECT_EQ(diag_count().fetches, 0u);
}

}  // namespace
