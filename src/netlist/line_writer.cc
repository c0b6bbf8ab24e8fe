// SPDX-License-Identifier: MIT
// The line writer: the network list as records, in the output form printed
// for the consumer on the device or in the cache form.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "netlist/hexdigit.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"
#include "netlist/record_text.h"

namespace {

using namespace record_text;

// The 76 bytes that an encoded ESSID carries as themselves; every other byte
// is escaped, so an encoded ESSID never holds a separator, a blank or "%".
constexpr bool stands_for_itself(unsigned char c) {
  return c == 0x21 || c == 0x24 || (c >= 0x27 && c <= 0x2a) || (c >= 0x2d && c <= 0x39) ||
         (c >= 0x41 && c <= 0x5b) || (c >= 0x5d && c <= 0x7a);
}

// The same as a bit per byte value.
struct escape_table {
  uint32_t bits[8];
  constexpr escape_table() : bits{} {
    for (int c = 0; c < 256; ++c)
      if (stands_for_itself(static_cast<unsigned char>(c))) bits[c >> 5] |= 1u << (c & 31);
  }
  constexpr bool plain(unsigned char c) const { return (bits[c >> 5] >> (c & 31) & 1u) != 0; }
};
constexpr escape_table kEscape;

// The number of bytes before the first NUL among the first n (<= N) of a
// fixed field, or n: whole words of the field, the last one overlapping
// the words before it, so that no byte is tested alone.
template <std::size_t N>
inline std::size_t text_length(const char (&field)[N], std::size_t n) {
  std::size_t i = 0;
  for (; i < n && i + kWordBytes <= N; i += kWordBytes) {
    word w;
    memcpy(&w, field + i, sizeof w);
    std::size_t z = first_zero_byte(w);
    if (z < kWordBytes) return i + z < n ? i + z : n;
  }
  if (i >= n) return n;
  // The bytes before i hold no NUL, so the first one in a last word that
  // overlaps them lies at or after i.
  if constexpr (N >= kWordBytes) {
    word w;
    memcpy(&w, field + (N - kWordBytes), sizeof w);
    std::size_t at = N - kWordBytes + first_zero_byte(w);
    return at < n ? at : n;
  } else if constexpr (N >= 4) {
    // A field shorter than a word (the mode): two halves that may overlap.
    uint32_t lo, hi;
    memcpy(&lo, field, sizeof lo);
    memcpy(&hi, field + (N - 4), sizeof hi);
    std::size_t at = first_zero_byte(lo);
    if (at == 4) at = N - 4 + first_zero_byte(hi);
    return at < n ? at : n;
  }
  while (i < n && field[i] != '\0') ++i;
  return i;
}

// The longest record: prefix, 96 ESSID characters, address, mode, six slots
// with their separators, an int32, a quality of three digits, and the bit
// rate, with every comma. Every piece is bounded by its field, so a record
// always fits and nothing is ever cut.
constexpr std::size_t kMaxRecord = kPrefix.size() + kMaxEncodedEssid + 1 + kMaxBssidText + 1 +
                                   kMaxModeText + 1 + kMaxSecurityText + 1 + 11 + 1 + 3 + 3 +
                                   (sizeof(network_entry{}.bitrate) - 1) + 1;

// Records are built in place in one buffer, which goes to the stream with a
// single fwrite whenever the next record might not fit, and at the end: the
// stream sees a few large writes rather than one per record. Its error flag
// is set exactly as by smaller writes, so the caller's check stays the same.
class record_writer {
 public:
  explicit record_writer(FILE *stream) : stream_(stream) {}
  record_writer(const record_writer &) = delete;
  record_writer &operator=(const record_writer &) = delete;

  // Room for one more record of any length.
  [[gnu::always_inline]] void begin_record() {
    if (buf_.size() - len_ < kMaxRecord) flush();
  }
  void flush() {
    if (len_ > 0) fwrite(buf_.data(), 1, len_, stream_);
    len_ = 0;
  }

  [[gnu::always_inline]] void put(char c) { buf_[len_++] = c; }
  [[gnu::always_inline]] void put(std::string_view s) {
    if (s.empty()) return;
    memcpy(&buf_[len_], s.data(), s.size());
    len_ += s.size();
  }
  // The text of a fixed field, up to its NUL and never past the field. The
  // whole field is copied (a fixed size, so no call) and the length found
  // a word at a time; what lies past the text is overwritten by the
  // next piece or never written out. A record has room for every field
  // at its full size wherever it starts, as kMaxRecord counts each at that
  // size.
  template <std::size_t N>
  void put_field(const char (&field)[N]) {
    memcpy(&buf_[len_], field, N - 1);
    len_ += text_length(field, N - 1);
  }
  // Raw ESSID bytes up to a NUL, at most n (<= 32) of them, copied the
  // same way.
  [[gnu::always_inline]] void put_raw_essid(const char (&essid)[36], std::size_t n) {
    memcpy(&buf_[len_], essid, kMaxEssidBytes);
    len_ += text_length(essid, n);
  }
  void put_int(int32_t v) {
    if (v >= 0 && v < 100) {  // every quality but 100, nearly every channel
      if (v >= 10) put(static_cast<char>('0' + v / 10));
      put(static_cast<char>('0' + v % 10));
      return;
    }
    put_any(v);
  }
  void put_any(int32_t v) {
    uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    if (v < 0) put('-');
    char digits[10];
    std::size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    while (n > 0) put(digits[--n]);
  }
  void put_essid_encoded(std::span<const char> essid) {
    for (char ch : essid) {
      auto c = static_cast<unsigned char>(ch);
      if (kEscape.plain(c)) {
        put(ch);
      } else {
        buf_[len_] = '%';
        buf_[len_ + 1] = hexdigit::kLowerDigits[c >> 4];
        buf_[len_ + 2] = hexdigit::kLowerDigits[c & 0xf];
        len_ += 3;
      }
    }
  }

 private:
  static constexpr std::size_t kBufferBytes = 4096;
  static_assert(kBufferBytes >= kMaxRecord);
  FILE *stream_;
  std::array<char, kBufferBytes> buf_;
  std::size_t len_ = 0;
};

// The used slots joined by "/"; none when the count is 0 or less.
void put_security(const network_entry &e, record_writer &out) {
  if (e.security_count <= 0) return;
  std::size_t count = static_cast<std::size_t>(e.security_count);
  if (count > kSlots) count = kSlots;  // the count never exceeds the slots
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out.put('/');
    out.put_field(e.security[i]);
  }
}

}  // namespace

int write_network_lines(int encode, FILE *stream, int with_bssid, int with_rate) {
  return write_records(stream, {encode != 0, with_bssid != 0, with_rate != 0});
}

int write_records(FILE *stream, const record_form &form) {
  const bool encode = form.encode_essid;
  record_writer r(stream);
  for (const network_entry *e = list_first(); e != nullptr; e = list_next()) {
    // A record is refused before a byte of it is gathered.
    if (encode && e->essid_len > kMaxEssidBytes) {
      r.flush();
      return -1;
    }
    r.begin_record();
    r.put(kPrefix);
    if (encode) {
      r.put_essid_encoded(std::span(e->essid).first(e->essid_len));
    } else {
      // Raw: the bytes as NUL-terminated text, so a NUL byte ends it.
      r.put_raw_essid(e->essid, e->essid_len < kMaxEssidBytes ? e->essid_len : kMaxEssidBytes);
    }
    r.put(',');
    if (form.with_bssid) {
      r.put_field(e->bssid);
      r.put(',');
    }
    r.put_field(e->mode);
    r.put(',');
    put_security(*e, r);
    r.put(',');
    r.put_int(e->channel);
    r.put(',');
    r.put_int(e->quality);
    r.put(" %,");
    if (form.with_rate && e->current) {
      r.put_field(e->bitrate);
      r.put(',');
    }
  }
  r.flush();
  return 0;
}
