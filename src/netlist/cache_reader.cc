// SPDX-License-Identifier: MIT
// The cache reader: a cache file's records back into the network list.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "diag/diag.h"
#include "netlist/hexdigit.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"
#include "netlist/numscan.h"
#include "netlist/record_text.h"

namespace {

using namespace record_text;

// The first c in s at or after i, or s.size(): a word at a time while a
// word remains (a byte of w ^ c...c is zero where w holds c).
[[gnu::noinline]] std::size_t find_byte(std::string_view s, std::size_t i, char c) {
  const word pattern = kOnes * static_cast<unsigned char>(c);
  while (s.size() - i >= kWordBytes) {
    word w;
    memcpy(&w, s.data() + i, sizeof w);
    std::size_t z = first_zero_byte(w ^ pattern);
    if (z < kWordBytes) return i + z;
    i += kWordBytes;
  }
  while (i < s.size() && s[i] != c) ++i;
  return i;
}

// A private copy of a file's bytes. Reading the file (rather than mapping
// it) gives an image that is valid for every size, page multiples included,
// cannot fault when the file shrinks under it, and never reaches back into
// the file. The parser cuts fields by bounded views, so the image needs no
// NUL after the bytes and is never written once loaded.
class file_image {
 public:
  file_image() = default;
  file_image(const file_image &) = delete;
  file_image &operator=(const file_image &) = delete;
  ~file_image() { free(base_); }

  // size > 0. 0, or -1 when the memory cannot be had or the file does not
  // give size bytes from its start.
  int load(int fd, std::size_t size) {
    base_ = static_cast<char *>(malloc(size));
    if (base_ == nullptr) return -1;
    size_ = size;
    std::span<char> bytes(base_, size_);
    std::size_t done = 0;
    while (done < size_) {
      std::span<char> rest = bytes.subspan(done);
      ssize_t n = pread(fd, rest.data(), rest.size(), static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return -1;  // an error, or the file shrank since fstat
      done += static_cast<std::size_t>(n);
    }
    return 0;
  }

  std::string_view text() const { return {base_, size_}; }

 private:
  char *base_ = nullptr;
  std::size_t size_ = 0;
};

// Copies text that the caller has bounded into a fixed field, with its NUL.
template <std::size_t N>
[[gnu::always_inline]] inline void store(char (&field)[N], std::string_view text) {
  static_assert(N > 0);
  std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  if (n > 0) memcpy(field, text.data(), n);
  field[n] = '\0';
}

using hexdigit::kNotHex;
constexpr const hexdigit::table &kHex = hexdigit::kValue;

// Six hexadecimal bytes separated by colons, in any form but the writer's
// (which the parser recognises where it stands); the text is kept as
// written. The number reader accepts all that sscanf's "%2hhx" does.
bool is_address(std::string_view text) {
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != ':') return false;
      text.remove_prefix(1);
    }
    numscan::result v = numscan::scan_unsigned(text, 16, 2);
    if (!v.ok) return false;
    text.remove_prefix(v.used);
  }
  return true;
}

// Security descriptors joined by "/"; a trailing "/" adds no slot.
bool parse_security(std::string_view field, network_entry &e) {
  if (field.size() > kMaxSecurityText) return false;
  e.security_count = 0;
  if (field.empty()) return true;
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = find_byte(field, start, '/');
    if (slash - start > kMaxSlotText) return false;
    store(e.security[count], std::string_view(field.data() + start, slash - start));
    e.security_count = static_cast<int32_t>(++count);
    if (slash + 1 >= field.size()) return true;  // no "/", or a trailing one
    start = slash + 1;
    if (count >= kSlots) return false;
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The image as the parser walks it: one forward pass per record, from comma
// to comma. A record ends at the first ",ESSID:" after its start, so every
// comma met is either inside the record or that boundary. The fields that
// the writer makes (plain numbers, an address of 17 characters) are read
// where they stand; anything else takes the general path, which accepts all
// that sscanf's conversions would.
class cache_parser {
 public:
  explicit cache_parser(std::string_view text) : t_(text) {}

  // Parses the record at pos (after its "ESSID:") into e; on success pos is
  // the start of the next record, or npos after the last.
  bool record(std::size_t &pos, network_entry &e) const {
    std::size_t comma;
    if (!field_end(pos, comma) || !essid(pos, comma, e)) return false;

    std::size_t start = comma + 1;
    const bool plain = plain_address(start);
    if (plain)
      comma = start + kMaxBssidText;
    else if (!field_end(start, comma) || comma - start > kMaxBssidText)
      return false;
    if (boundary_at(comma)) return false;
    std::string_view address = view(start, comma);
    if (plain) {
      memcpy(e.bssid, address.data(), kMaxBssidText);
      e.bssid[kMaxBssidText] = '\0';
    } else {
      store(e.bssid, address);
    }
    if (!plain && !is_address(address)) return false;

    start = comma + 1;
    if (!field_end(start, comma) || comma - start > kMaxModeText) return false;
    store(e.mode, view(start, comma));

    start = comma + 1;
    if (!field_end(start, comma) || !parse_security(view(start, comma), e)) return false;

    start = comma + 1;
    if (!channel(start, comma, e)) return false;

    // Quality, then " %", then "," when the record goes on: a record written
    // for the cache ends before that comma, as it belongs to the boundary.
    start = comma + 1;
    numscan::result quality = scan_quality(start);
    if (!quality.ok || quality.value > kMaxQuality) return false;
    std::size_t after = start + quality.used;
    if (t_.size() - after < 2 || t_[after] != ' ' || t_[after + 1] != '%') return false;
    after += 2;
    // No comma can stand between the quality's start and here.
    comma = after < t_.size() && t_[after] == ',' ? after : next_comma(after);
    const bool goes_on = comma < t_.size() && !boundary_at(comma);
    if (goes_on && comma != after) return false;
    e.quality = static_cast<uint8_t>(quality.value);
    if (goes_on) {
      // The bit rate runs to the next comma; what follows it up to the
      // boundary is ignored.
      start = comma + 1;
      comma = next_comma(start);
      if (comma - start > kMaxBitrateText) return false;
      store(e.bitrate, view(start, comma));
      while (comma < t_.size() && !boundary_at(comma)) comma = next_comma(comma + 1);
    }
    pos = comma < t_.size() ? comma + kBoundary.size() : std::string_view::npos;
    return true;
  }

 private:
  // The text from start to end (both within the image), without the bounds
  // test that substr would repeat.
  [[gnu::always_inline]] std::string_view view(std::size_t start, std::size_t end) const {
    return {t_.data() + start, end - start};
  }
  // The text from start (within the image) to its end; no bounds test, so
  // nothing here can reach the library's throwing paths.
  std::string_view tail(std::size_t start) const { return view(start, t_.size()); }
  // The first comma at or after i, or the size when there is none.
  [[gnu::always_inline]] std::size_t next_comma(std::size_t i) const {
    return find_byte(t_, i, ',');
  }
  // comma: the position of a comma.
  [[gnu::always_inline]] bool boundary_at(std::size_t comma) const {
    if (t_.size() - comma < kBoundary.size()) return false;
    uint32_t essi;
    uint16_t d_colon;
    memcpy(&essi, &t_[comma + 1], sizeof essi);
    memcpy(&d_colon, &t_[comma + 5], sizeof d_colon);
    return essi == kEssi && d_colon == kDColon;
  }
  // "ESSI" and "D:" as the bytes lie in memory.
  static constexpr uint32_t kEssi = []() {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(kBoundary[1 + i]);
    return std::endian::native == std::endian::little ? v : __builtin_bswap32(v);
  }();
  static constexpr uint16_t kDColon = []() {
    uint16_t v = static_cast<uint16_t>(static_cast<unsigned char>(kBoundary[6]) << 8 |
                                       static_cast<unsigned char>(kBoundary[5]));
    return std::endian::native == std::endian::little ? v : __builtin_bswap16(v);
  }();
  // The comma that ends a field starting at start; false when the record
  // holds none (the next comma is the boundary, or there is none).
  [[gnu::always_inline]] bool field_end(std::size_t start, std::size_t &comma) const {
    comma = next_comma(start);
    return comma < t_.size() && !boundary_at(comma);
  }

  // Seventeen characters of the writer's form, then a comma.
  bool plain_address(std::size_t start) const {
    if (t_.size() - start <= kMaxBssidText) return false;
    const char *a = &t_[start];
    if (a[2] != ':' || a[5] != ':' || a[8] != ':' || a[11] != ':' || a[14] != ':' || a[17] != ',')
      return false;
    unsigned char digits = 0;
    for (std::size_t i = 0; i < kMaxBssidText; i += 3) digits |= kHex[a[i]] | kHex[a[i + 1]];
    return (digits & kNotHex) == 0;
  }

  // Channel: a leading integer; anything between it and its comma is ignored.
  bool channel(std::size_t start, std::size_t &comma, network_entry &e) const {
    std::size_t i = start;
    const bool negative = i < t_.size() && t_[i] == '-';
    if (negative) ++i;
    const std::size_t digits = i;
    int32_t value = 0;  // nine digits at most: no overflow
    while (i < t_.size() && i - digits < 9 && is_digit(t_[i])) value = value * 10 + (t_[i++] - '0');
    if (i > digits && i < t_.size() && t_[i] == ',') {
      comma = i;
      if (boundary_at(comma)) return false;
      e.channel = negative ? -value : value;
      return true;
    }
    if (!field_end(start, comma)) return false;
    numscan::result r = numscan::scan_int32(view(start, comma));
    if (!r.ok) return false;
    e.channel = r.signed_value;
    return true;
  }

  numscan::result scan_quality(std::size_t start) const {
    numscan::result r;
    std::size_t i = start;
    while (i < t_.size() && i - start < 3 && is_digit(t_[i]))
      r.value = r.value * 10 + static_cast<uint32_t>(t_[i++] - '0');
    if (i > start && (i == t_.size() || i - start == 3 || !is_digit(t_[i]))) {
      r.ok = true;
      r.used = i - start;
      return r;
    }
    return numscan::scan_unsigned(tail(start), 10, 3);
  }

  // ESSID: bytes stand for themselves, "%" and a hexadecimal value for a
  // byte. An escape always advances three characters, even when its value
  // was one digit long or the step carries it past the comma that ends the
  // field.
  bool essid(std::size_t start, std::size_t comma, network_entry &e) const {
    if (comma - start > kMaxEssidField) return false;
    std::span<char> out(e.essid);
    std::size_t n = 0;
    std::size_t i = start;
    const std::string_view field = view(0, comma);
    while (i < comma) {
      char byte = t_[i];
      if (byte != '%') {
        // A run of bytes that stand for themselves.
        std::size_t run = find_byte(field, i, '%') - i;
        if (run > kMaxEssidBytes - n) return false;
        memcpy(&out[n], &t_[i], run);
        n += run;
        i += run;
        continue;
      }
      // Two digits are read at once (the second only when the first is
      // one, so neither lies past the comma). The number reader handles the
      // rest; it reads on past the field but stops at its comma, as no
      // number reads a comma.
      unsigned char hi = kHex[t_[i + 1]];
      unsigned char lo = hi == kNotHex ? kNotHex : kHex[t_[i + 2]];
      if (lo != kNotHex) {
        byte = static_cast<char>(hi << 4 | lo);
      } else {
        numscan::result v = numscan::scan_unsigned(tail(i + 1), 16, 2);
        if (!v.ok) return false;
        byte = static_cast<char>(static_cast<unsigned char>(v.value));
      }
      i += 3;
      if (n == kMaxEssidBytes) return false;
      out[n++] = byte;
    }
    e.essid_len = static_cast<uint32_t>(n);
    out[n] = '\0';
    return true;
  }

  std::string_view t_;
};

// Entries are allocated ahead of the records, one block per estimate of the
// records left: a record as the writer makes it takes at least 33 bytes and
// usually 60 or more, so one block mostly holds them all without a pass to
// count them, and short records cost a few more blocks, each smaller than
// the last. What the last block has to spare stays out of the list.
constexpr std::size_t kEstimatedRecordBytes = 64;

// Every record of the image into the (cleared) list.
bool parse_image(std::string_view text, cause *why) {
  // No field of a cache record can hold a NUL; one in the file means the
  // file is damaged, and reading on past it would drop records silently.
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    cause_set(why, "cache-malformed", 0, "a NUL byte at byte %zu", nul);
    return false;
  }
  // Compared here: a library call would cost more than the six bytes.
  bool prefixed = text.size() >= kPrefix.size();
  for (std::size_t i = 0; prefixed && i < kPrefix.size(); ++i) prefixed = text[i] == kPrefix[i];
  if (!prefixed) {
    cause_set(why, "cache-malformed", 0, "does not begin with \"ESSID:\"");
    return false;
  }
  list_clear();
  cache_parser parser(text);
  std::size_t pos = kPrefix.size();
  network_entry *last = nullptr;
  std::size_t parsed = 0;
  while (pos != std::string_view::npos) {
    std::size_t room = (text.size() - pos) / kEstimatedRecordBytes + 1;
    network_entry *e = list_append_block(room);
    if (e == nullptr) {
      cause_set(why, "cache-io", ENOMEM, "%zu records", parsed + room);
      return false;
    }
    for (; room > 0 && pos != std::string_view::npos; --room, e = e->next) {
      const std::size_t start = pos - kPrefix.size();
      ++parsed;
      if (!parser.record(pos, *e)) {
        cause_set(why, "cache-malformed", 0, "malformed record %zu at byte %zu", parsed, start);
        return false;
      }
      last = e;
    }
  }
  list_truncate(last);
  return true;
}

}  // namespace

// Where off_t were 32 bits, fstat of a file over 2 GiB would fail
// (EOVERFLOW) instead of showing its size.
static_assert(sizeof(off_t) == 8, "built with _FILE_OFFSET_BITS=64");

int read_cache(FILE *stream) {
  if (stream == nullptr) return -1;
  rewind(stream);
  cause unused;
  return read_cache_fd(fileno(stream), &unused);
}

int read_cache_fd(int fd, cause *why) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    cause_set(why, "cache-io", errno, "fstat");
    list_clear();
    return -1;
  }
  // Only a regular file can be the cache, and its size is judged before a
  // byte of it is read.
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxCacheBytes) {
    if (!S_ISREG(st.st_mode))
      cause_set(why, "cache-unsafe", 0, "not a regular file");
    else
      cause_set(why, "cache-malformed", 0, "larger than %ld bytes",
                static_cast<long>(kMaxCacheBytes));
    list_clear();
    return -1;
  }
  if (st.st_size == 0) return 0;
  // A size that does not fit in memory's index type cannot be read.
  const auto file_size = static_cast<std::make_unsigned_t<off_t>>(st.st_size);
  const auto size = static_cast<std::size_t>(file_size);
  file_image image;
  // cppcheck-suppress knownConditionTrueFalse ; false where size_t is as wide as off_t, not everywhere
  if (st.st_size < 0 || size != file_size || image.load(fd, size) != 0) {
    cause_set(why, "cache-io", errno, "read");
    list_clear();
    return -1;
  }
  if (parse_image(image.text(), why)) return 0;
  list_clear();
  return -1;
}

int parse_cache(const char *bytes, std::size_t size) {
  cause unused;
  if (size == 0 || (bytes != nullptr && parse_image(std::string_view(bytes, size), &unused)))
    return 0;
  list_clear();
  return -1;
}
