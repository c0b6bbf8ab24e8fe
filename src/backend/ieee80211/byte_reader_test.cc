// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "backend/ieee80211/byte_reader.h"

namespace {

const std::vector<uint8_t> kBytes = {0x12, 0x34, 0x10, 0x56, 0x10};

// One operation on a reader: the value read (0 for none), or -1 when it fails.
using Op = int64_t (*)(ByteReader &);
template <typename T>
struct read_of;
template <typename T>
struct read_of<bool (ByteReader::*)(T *)> {
  using type = T;
};
template <auto F>
// cppcheck-suppress constParameter ; F is a non-const member: it reads and moves r
int64_t read(ByteReader &r) {
  typename read_of<decltype(F)>::type v = 0;
  return (r.*F)(&v) ? int64_t{v} : -1;
}
int64_t ok(bool done) { return done ? 0 : -1; }
template <size_t N>
int64_t skip(ByteReader &r) {
  return ok(r.skip(N));
}
template <uint8_t B>
int64_t skip_to(ByteReader &r) {
  return ok(r.skip_to(B));
}
template <size_t At>
int64_t peek(ByteReader &r) {
  uint8_t v = 0;
  return r.peek_u8(At, &v) ? v : -1;
}
int64_t five_bytes(ByteReader &r) {
  std::span<const uint8_t> s;
  return ok(r.read_bytes(5, &s));
}
int64_t element(ByteReader &r) {
  uint8_t id;
  ByteReader body;
  return ok(r.read_element(&id, &body));
}

// Each operation from where start leaves the reader; a failing one leaves it
// where it was.
TEST(ByteReader, Operations) {
  const struct {
    const char *what;
    size_t start;  // bytes consumed first
    Op op;
    int64_t value;
    size_t left = 0;  // after a successful operation
  } cases[] = {
      {"u16 le", 0, read<&ByteReader::read_u16_le>, 0x3412, 3},
      {"u16 be", 2, read<&ByteReader::read_u16_be>, 0x1056, 1},
      {"u8, the last", 4, read<&ByteReader::read_u8>, 0x10, 0},
      {"u32 be", 0, read<&ByteReader::read_u32_be>, 0x12341056, 1},
      {"u16 host", 0, read<&ByteReader::read_u16_host>,
       std::endian::native == std::endian::little ? 0x3412 : 0x1234, 3},
      {"skip_to finds the next match", 0, skip_to<0x10>, 0, 3},
      {"skip_to: the current byte counts", 2, skip_to<0x10>, 0, 3},
      {"skip_to the last", 3, skip_to<0x10>, 0, 1},
      {"peek leaves the bytes", 0, peek<1>, 0x34, 5},
      {"u8 at end", 5, read<&ByteReader::read_u8>, -1},
      {"u16 le, one left", 4, read<&ByteReader::read_u16_le>, -1},
      {"u16 be, one left", 4, read<&ByteReader::read_u16_be>, -1},
      {"u32 be, three left", 2, read<&ByteReader::read_u32_be>, -1},
      {"u16 host, one left", 4, read<&ByteReader::read_u16_host>, -1},
      {"skip past end", 2, skip<4>, -1},
      {"huge skip", 0, skip<SIZE_MAX>, -1},
      {"bytes past end", 1, five_bytes, -1},
      {"peek past end", 3, peek<2>, -1},
      {"skip_to absent byte", 0, skip_to<0x99>, -1},
      {"skip_to after last match", 5, skip_to<0x10>, -1},
      // Length 0x10 with two bytes after the header; then a lone id byte.
      {"element body cut", 1, element, -1},
      {"element header cut", 4, element, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ByteReader r(kBytes);
    ASSERT_TRUE(r.skip(c.start));
    EXPECT_EQ(c.op(r), c.value);
    EXPECT_EQ(r.remaining(), c.value < 0 ? kBytes.size() - c.start : c.left);
  }
}

// Elements one after the other; each body reads only its own bytes.
TEST(ByteReader, ElementsWithTheirOwnBodies) {
  const std::vector<uint8_t> elements = {0x30, 0x02, 0xAA, 0xBB, 0xDD, 0x00, 0x07, 0x01, 0xCC};
  ByteReader r(elements);
  uint8_t id = 0;
  ByteReader body;
  ASSERT_TRUE(r.read_element(&id, &body));
  EXPECT_EQ(id, 0x30);
  EXPECT_EQ(read<&ByteReader::read_u16_be>(body), 0xAABB);
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

TEST(ByteReader, PrefixLimitsReads) {
  ByteReader r(kBytes);
  ASSERT_TRUE(r.skip(1));
  ByteReader p = r.prefix(2);
  EXPECT_EQ(p.remaining(), 2u);
  EXPECT_EQ(r.remaining(), 4u);
  EXPECT_EQ(read<&ByteReader::read_u16_be>(p), 0x3410);
  EXPECT_EQ(read<&ByteReader::read_u8>(p), -1);
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
