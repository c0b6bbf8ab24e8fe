// SPDX-License-Identifier: MIT
#include "netlist/netlist.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <iwlib.h>
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

using entries = std::vector<network_entry *>;

entries walk() {
  entries v;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) v.push_back(e);
  return v;
}

// Every byte, padding included, but the link.
bool is_zero(network_entry e) {
  e.next = nullptr;
  for (std::byte b : std::as_bytes(std::span(&e, 1)))
    if (b != std::byte{0}) return false;
  return true;
}

TEST_F(ListTest, AppendWalkAndFind) {
  EXPECT_EQ(list_first(), nullptr);
  EXPECT_EQ(list_next(), nullptr);
  EXPECT_EQ(list_find_bssid(""), nullptr);
  network_entry *a = list_append_new();
  network_entry *b = list_append_new();
  network_entry *c = list_append_new();
  ASSERT_TRUE(a && b && c);
  EXPECT_TRUE(is_zero(*a));
  EXPECT_EQ(c->next, nullptr);
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
  EXPECT_EQ(list_find_bssid("66:77:88:99:aa:bb:"), nullptr);
  // A clear leaves nothing to find, and the next append is the head.
  list_clear();
  EXPECT_EQ(list_first(), nullptr);
  EXPECT_EQ(list_find_bssid(""), nullptr);
  network_entry *e = list_append_new();
  EXPECT_EQ(walk(), entries{e});
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
  EXPECT_EQ(b->next, nullptr);
  EXPECT_EQ(walk(), (entries{a, b}));
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
  EXPECT_EQ(walk(), entries{d});
}

TEST_F(ListTest, ClearsAMillionEntriesWithoutRecursion) {
  for (int i = 0; i < 1000000; ++i) ASSERT_NE(list_append_new(), nullptr);
  list_clear();
  EXPECT_EQ(list_first(), nullptr);
}

// The first entry with exactly this text, as the list's lookups promise.
network_entry *first_with_text(const char *text) {
  for (network_entry *e = list_first(); e != nullptr; e = list_next())
    if (strcmp(e->bssid, text) == 0) return e;
  return nullptr;
}

TEST_F(ListTest, AddressTextIsLibiwsText) {
  std::mt19937 rng(14);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 2000; ++round) {
    unsigned char addr[6];
    for (unsigned char &b : addr)
      b = static_cast<unsigned char>(round < 2 ? round * 255 : byte(rng));
    ether_addr ether;
    memcpy(&ether, addr, sizeof addr);
    char want[18];
    iw_ether_ntop(&ether, want);
    char got[18];
    list_bssid_text(addr, got);
    ASSERT_STREQ(got, want);
  }
}

// Lookups by bytes and by text agree with a search of the texts over lists
// that grow between lookups, with duplicates and with texts of other forms.
TEST_F(ListTest, LookupsAgreeWithASearchOfTheTexts) {
  std::mt19937 rng(1414);
  std::uniform_int_distribution<int> low(0, 40), kind(0, 9);
  for (int round = 0; round < 20; ++round) {
    list_clear();
    for (int step = 0; step < 3000; ++step) {
      unsigned char addr[6] = {
          0x02, 0, 0, 0, static_cast<unsigned char>(round), static_cast<unsigned char>(low(rng))};
      if (kind(rng) < 6) {
        network_entry *e = list_append_new();
        ASSERT_NE(e, nullptr);
        if (kind(rng) == 0)
          snprintf(e->bssid, sizeof e->bssid, "%02x:%02x:%02x:%02x:%02x:%02x", addr[0], addr[1],
                   addr[2], addr[3], addr[4], addr[5]);
        else
          list_bssid_text(addr, e->bssid);
      }
      char text[18];
      list_bssid_text(addr, text);
      network_entry *want = first_with_text(text);
      ASSERT_EQ(list_find_addr(addr), want) << text;
      ASSERT_EQ(list_find_bssid(text), want) << text;
      text[1] = 'x';  // a text of no address form
      ASSERT_EQ(list_find_bssid(text), first_with_text(text));
    }
  }
}

TEST_F(ListTest, BlocksAppendInOrder) {
  EXPECT_EQ(list_append_block(0), nullptr);
  EXPECT_EQ(list_first(), nullptr);
  network_entry *single = list_append_new();
  network_entry *block = list_append_block(3);
  ASSERT_NE(block, nullptr);
  network_entry *after = list_append_new();
  EXPECT_EQ(walk(), (entries{single, block, &block[1], &block[2], after}));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(is_zero(block[i])) << i;
  {
    netlist_internal::scoped_entry_alloc guard(no_memory);
    EXPECT_EQ(list_append_block(2), nullptr);
  }
  EXPECT_EQ(after->next, nullptr);  // the failure left the tail alone
  network_entry *last = list_append_block(2);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(after->next, last);
}

// A reader that allocated more entries than it filled keeps the rest out of
// the list; appends go on after the new last entry, and clearing frees it all.
TEST_F(ListTest, TruncateKeepsTheRestOfABlockOutOfTheList) {
  network_entry *block = list_append_block(4);
  ASSERT_NE(block, nullptr);
  snprintf(block[1].bssid, sizeof block[1].bssid, "00:00:00:00:00:02");
  snprintf(block[2].bssid, sizeof block[2].bssid, "00:00:00:00:00:03");
  EXPECT_EQ(list_find_bssid("00:00:00:00:00:03"), &block[2]);  // indexed before the cut
  list_truncate(&block[1]);
  EXPECT_EQ(walk(), (entries{&block[0], &block[1]}));
  EXPECT_EQ(list_find_bssid("00:00:00:00:00:03"), nullptr);
  EXPECT_EQ(list_find_bssid("00:00:00:00:00:02"), &block[1]);
  network_entry *after = list_append_new();
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(block[1].next, after);
  EXPECT_EQ(after->next, nullptr);
  list_truncate(nullptr);
  EXPECT_EQ(list_first(), nullptr);
  network_entry *fresh = list_append_new();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(walk(), entries{fresh});
}

}  // namespace
