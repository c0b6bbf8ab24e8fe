// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "backend/ieee80211/byte_reader.h"

namespace {

const std::vector<uint8_t> kBytes = {0x12, 0x34, 0x10, 0x56, 0x10};

TEST(ByteReader, ReadsInOrder) {
  ByteReader r(kBytes);
  uint16_t le = 0, be = 0;
  uint8_t b = 0;
  ASSERT_TRUE(r.read_u16_le(&le));
  EXPECT_EQ(le, 0x3412);
  ASSERT_TRUE(r.read_u16_be(&be));
  EXPECT_EQ(be, 0x1056);
  ASSERT_TRUE(r.read_u8(&b));
  EXPECT_EQ(b, 0x10);
  EXPECT_TRUE(r.empty());
}

// Each failing operation leaves the reader where it was.
TEST(ByteReader, FailedReadsDoNotAdvance) {
  struct Case {
    const char *what;
    size_t start;  // bytes consumed first
    bool (*op)(ByteReader &);
  };
  const Case cases[] = {
      {"u8 at end", 5,
       [](ByteReader &r) {
         uint8_t v;
         return r.read_u8(&v);
       }},
      {"u16 le, one left", 4,
       [](ByteReader &r) {
         uint16_t v;
         return r.read_u16_le(&v);
       }},
      {"u16 be, one left", 4,
       [](ByteReader &r) {
         uint16_t v;
         return r.read_u16_be(&v);
       }},
      {"skip past end", 2, [](ByteReader &r) { return r.skip(4); }},
      {"huge skip", 0, [](ByteReader &r) { return r.skip(SIZE_MAX); }},
      {"bytes past end", 1,
       [](ByteReader &r) {
         std::span<const uint8_t> s;
         return r.read_bytes(5, &s);
       }},
      {"peek past end", 3,
       [](ByteReader &r) {
         uint8_t v;
         return r.peek_u8(2, &v);
       }},
      {"skip_to absent byte", 0, [](ByteReader &r) { return r.skip_to(0x99); }},
      {"skip_to after last match", 5, [](ByteReader &r) { return r.skip_to(0x10); }},
      {"u32 be, three left", 2,
       [](ByteReader &r) {
         uint32_t v;
         return r.read_u32_be(&v);
       }},
      {"u16 host, one left", 4,
       [](ByteReader &r) {
         uint16_t v;
         return r.read_u16_host(&v);
       }},
      // Length 0x10 with two bytes after the header; then a lone id byte.
      {"element body cut", 1,
       [](ByteReader &r) {
         uint8_t id;
         ByteReader b;
         return r.read_element(&id, &b);
       }},
      {"element header cut", 4,
       [](ByteReader &r) {
         uint8_t id;
         ByteReader b;
         return r.read_element(&id, &b);
       }},
  };
  for (const Case &c : cases) {
    ByteReader r(kBytes);
    ASSERT_TRUE(r.skip(c.start)) << c.what;
    const size_t before = r.remaining();
    EXPECT_FALSE(c.op(r)) << c.what;
    EXPECT_EQ(r.remaining(), before) << c.what;
  }
}

TEST(ByteReader, WiderReads) {
  ByteReader r(kBytes);
  uint32_t be = 0;
  ASSERT_TRUE(r.read_u32_be(&be));
  EXPECT_EQ(be, 0x12341056u);
  ByteReader h(kBytes);
  uint16_t host = 0;
  ASSERT_TRUE(h.read_u16_host(&host));
  EXPECT_EQ(host, std::endian::native == std::endian::little ? 0x3412 : 0x1234);
}

// Elements one after the other; each body reads only its own bytes.
TEST(ByteReader, ElementsWithTheirOwnBodies) {
  const std::vector<uint8_t> elements = {0x30, 0x02, 0xAA, 0xBB, 0xDD, 0x00, 0x07, 0x01, 0xCC};
  ByteReader r(elements);
  uint8_t id = 0;
  ByteReader body;
  ASSERT_TRUE(r.read_element(&id, &body));
  EXPECT_EQ(id, 0x30);
  uint16_t v = 0;
  ASSERT_TRUE(body.read_u16_be(&v));
  EXPECT_EQ(v, 0xAABB);
  EXPECT_TRUE(body.empty());
  ASSERT_TRUE(r.read_element(&id, &body));  // an empty body
  EXPECT_EQ(id, 0xDD);
  EXPECT_TRUE(body.empty());
  ASSERT_TRUE(r.read_element(&id, &body));
  EXPECT_EQ(id, 0x07);
  EXPECT_EQ(body.remaining(), 1u);
  EXPECT_TRUE(r.empty());
  EXPECT_FALSE(r.read_element(&id, &body));
}

TEST(ByteReader, SkipToFindsNextMatch) {
  ByteReader r(kBytes);
  ASSERT_TRUE(r.skip_to(0x10));
  EXPECT_EQ(r.remaining(), 3u);
  ASSERT_TRUE(r.skip_to(0x10));  // the current byte counts
  EXPECT_EQ(r.remaining(), 3u);
  ASSERT_TRUE(r.skip(1));
  ASSERT_TRUE(r.skip_to(0x10));
  EXPECT_EQ(r.remaining(), 1u);
}

TEST(ByteReader, PrefixLimitsReads) {
  ByteReader r(kBytes);
  ASSERT_TRUE(r.skip(1));
  ByteReader p = r.prefix(2);
  EXPECT_EQ(p.remaining(), 2u);
  EXPECT_EQ(r.remaining(), 4u);
  uint16_t v;
  ASSERT_TRUE(p.read_u16_be(&v));
  EXPECT_EQ(v, 0x3410);
  uint8_t b;
  EXPECT_FALSE(p.read_u8(&b));
  EXPECT_EQ(r.prefix(100).remaining(), 4u);
}

TEST(ByteReader, RawPointerConstructor) {
  const unsigned char raw[] = {1, 2, 3};
  EXPECT_EQ(ByteReader(raw, 3).remaining(), 3u);
  EXPECT_EQ(ByteReader(raw, 0).remaining(), 0u);
  EXPECT_EQ(ByteReader(raw, -5).remaining(), 0u);
  EXPECT_EQ(ByteReader(nullptr, 7).remaining(), 0u);
  ByteReader empty(nullptr, 0);
  std::span<const uint8_t> s;
  EXPECT_TRUE(empty.read_bytes(0, &s));
  EXPECT_TRUE(s.empty());
}

}  // namespace
