#include "netlist/netlist.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <span>
#include <type_traits>

#include "netlist/netlist_alloc.h"

namespace {

// The record's fields, in their order and with their sizes: the texts hold
// their maximum lengths and a NUL.
TEST(NetworkEntryTest, FieldsInOrderWithTheirSizes) {
  network_entry e{};
  const struct {
    const char *name;
    std::size_t offset, size;
  } fields[] = {
      {"essid", offsetof(network_entry, essid), sizeof e.essid},
      {"essid_len", offsetof(network_entry, essid_len), sizeof e.essid_len},
      {"bssid", offsetof(network_entry, bssid), sizeof e.bssid},
      {"mode", offsetof(network_entry, mode), sizeof e.mode},
      {"security", offsetof(network_entry, security), sizeof e.security},
      {"security_count", offsetof(network_entry, security_count), sizeof e.security_count},
      {"privacy", offsetof(network_entry, privacy), sizeof e.privacy},
      {"wps", offsetof(network_entry, wps), sizeof e.wps},
      {"channel", offsetof(network_entry, channel), sizeof e.channel},
      {"quality", offsetof(network_entry, quality), sizeof e.quality},
      {"current", offsetof(network_entry, current), sizeof e.current},
      {"bitrate", offsetof(network_entry, bitrate), sizeof e.bitrate},
      {"next", offsetof(network_entry, next), sizeof(void *)},
  };
  const std::size_t sizes[] = {36, 4, 18, 7, 72, 4, 4, 4, 4, 1, 4, 12, sizeof(void *)};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    EXPECT_EQ(fields[i].size, sizes[i]) << fields[i].name;
    if (i > 0) {
      EXPECT_GE(fields[i].offset, fields[i - 1].offset + fields[i - 1].size) << fields[i].name;
    }
  }
  EXPECT_EQ(sizeof e.security[0], 12u);
  EXPECT_TRUE((std::is_same_v<decltype(e.next), network_entry *>));
  // Signed where a producer may count down or a channel be absent; flags and
  // lengths unsigned.
  EXPECT_LT(static_cast<decltype(e.security_count)>(-1), 0);
  EXPECT_LT(static_cast<decltype(e.channel)>(-1), 0);
  EXPECT_GT(static_cast<decltype(e.essid_len)>(-1), 0u);
  EXPECT_GT(static_cast<decltype(e.quality)>(-1), 0u);
}

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
  // Every byte, padding included.
  for (std::byte b : std::as_bytes(std::span(e, 1))) ASSERT_EQ(b, std::byte{0});
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

void *no_memory(std::size_t, std::size_t) { return nullptr; }

TEST_F(ListTest, FailedAppendChangesNothing) {
  network_entry *a = list_append_new();
  ASSERT_NE(a, nullptr);
  network_entry *b = list_append_new();
  ASSERT_NE(b, nullptr);
  strcpy(a->bssid, "00:00:00:00:00:0a");
  {
    netlist_internal::scoped_entry_alloc guard(no_memory);
    EXPECT_EQ(list_append_new(), nullptr);
    EXPECT_EQ(list_append_new(), nullptr);
  }
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(b->next, nullptr);
  EXPECT_EQ(list_first(), a);
  EXPECT_EQ(list_next(), b);
  EXPECT_EQ(list_next(), nullptr);
  EXPECT_EQ(list_find_bssid("00:00:00:00:00:0a"), a);
  // The tail is still b: the next append links after it.
  network_entry *c = list_append_new();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(b->next, c);

  list_clear();
  {
    netlist_internal::scoped_entry_alloc guard(no_memory);
    EXPECT_EQ(list_append_new(), nullptr);
  }
  EXPECT_EQ(list_first(), nullptr);  // a failure on an empty list leaves no head
  network_entry *d = list_append_new();
  EXPECT_EQ(list_first(), d);
}

TEST_F(ListTest, ClearsAMillionEntriesWithoutRecursion) {
  for (int i = 0; i < 1000000; ++i) ASSERT_NE(list_append_new(), nullptr);
  list_clear();
  EXPECT_EQ(list_first(), nullptr);
}

}  // namespace
