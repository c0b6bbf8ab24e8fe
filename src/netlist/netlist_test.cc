#include "netlist/netlist.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override { list_clear(); }
  void TearDown() override { list_clear(); }
};

TEST_F(ListTest, AppendWalkAndFind) {
  EXPECT_EQ(list_first(), nullptr);
  EXPECT_EQ(list_next(), nullptr);
  network_entry *a = list_append_new();
  network_entry *b = list_append_new();
  network_entry *c = list_append_new();
  ASSERT_TRUE(a && b && c);
  strcpy(a->bssid, "00:11:22:33:44:55");
  strcpy(b->bssid, "66:77:88:99:aa:bb");
  strcpy(c->bssid, "00:11:22:33:44:55");
  EXPECT_EQ(list_first(), a);
  EXPECT_EQ(list_next(), b);
  EXPECT_EQ(list_find_bssid("00:11:22:33:44:55"), a);  // earlier of two, cursor untouched
  EXPECT_EQ(list_next(), c);
  EXPECT_EQ(list_next(), nullptr);
  EXPECT_EQ(list_next(), nullptr);
  EXPECT_EQ(list_find_bssid("66:77:88:99:aa:b"), nullptr);
}

TEST_F(ListTest, AppendedEntryIsZero) {
  network_entry *e = list_append_new();
  ASSERT_NE(e, nullptr);
  network_entry zero{};
  EXPECT_EQ(memcmp(e, &zero, sizeof zero), 0);
}

TEST_F(ListTest, ClearThenAppendMakesHeadAndTail) {
  list_append_new();
  list_clear();
  EXPECT_EQ(list_first(), nullptr);
  EXPECT_EQ(list_find_bssid(""), nullptr);
  network_entry *e = list_append_new();
  EXPECT_EQ(list_first(), e);
  EXPECT_EQ(list_next(), nullptr);
  EXPECT_EQ(list_find_bssid(""), e);
}

TEST_F(ListTest, ClearsAMillionEntriesWithoutRecursion) {
  for (int i = 0; i < 1000000; ++i) ASSERT_NE(list_append_new(), nullptr);
  list_clear();
  EXPECT_EQ(list_first(), nullptr);
}

}  // namespace
