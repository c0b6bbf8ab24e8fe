// The network line: the cache form written to and read from the cache file,
// and the output form printed for the consumer on the device.
#include "netlist/linefmt.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "netlist/netlist.h"
#include "netlist/numscan.h"

namespace {

constexpr std::size_t kMaxEssidBytes = 32;
constexpr std::size_t kMaxEncodedEssid = 96;  // 32 bytes of three characters
constexpr std::size_t kMaxEssidField = 99;
constexpr std::size_t kMaxBssidText = 17;
constexpr std::size_t kMaxModeText = 6;
constexpr std::size_t kSlots = 6;
constexpr std::size_t kMaxSlotText = 11;
constexpr std::size_t kMaxSecurityText = kSlots * kMaxSlotText + kSlots - 1;  // 71
constexpr std::size_t kMaxBitrateText = 10;
constexpr unsigned kMaxQuality = 100;
constexpr std::string_view kPrefix = "ESSID:";
constexpr std::string_view kBoundary = ",ESSID:";

static_assert(sizeof(network_entry{}.essid) > kMaxEssidBytes);
static_assert(sizeof(network_entry{}.bssid) == kMaxBssidText + 1);
static_assert(sizeof(network_entry{}.mode) == kMaxModeText + 1);
static_assert(sizeof(network_entry{}.security) / kSlots == kMaxSlotText + 1);
static_assert(sizeof(network_entry{}.bitrate) > kMaxBitrateText);

// ---------------------------------------------------------------- writing

// The 76 bytes that an encoded ESSID carries as themselves; every other byte
// is escaped, so an encoded ESSID never holds a separator, a blank or "%".
constexpr bool stands_for_itself(unsigned char c) {
  return c == 0x21 || c == 0x24 || (c >= 0x27 && c <= 0x2a) || (c >= 0x2d && c <= 0x39) ||
         (c >= 0x41 && c <= 0x5b) || (c >= 0x5d && c <= 0x7a);
}

// Text built into a fixed array; the callers size it for the worst case, and
// append never writes past it in any case.
template <std::size_t N>
class fixed_text {
 public:
  void append(char c) {
    if (len_ < N - 1) buf_[len_++] = c;
  }
  void append(std::string_view s) {
    for (char c : s) append(c);
  }
  const char *c_str() {
    buf_[len_] = '\0';
    return buf_;
  }

 private:
  char buf_[N]{};
  std::size_t len_ = 0;
};

// Length of the text in a fixed field, never looking past the field.
template <std::size_t N>
std::string_view field_text(const char (&field)[N]) {
  return {field, strnlen(field, N - 1)};
}

void encode_essid(std::span<const char> essid, fixed_text<kMaxEncodedEssid + 1> &out) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (char ch : essid) {
    auto c = static_cast<unsigned char>(ch);
    if (stands_for_itself(c)) {
      out.append(ch);
    } else {
      out.append('%');
      out.append(kHex[c >> 4]);
      out.append(kHex[c & 0xf]);
    }
  }
}

void join_security(const network_entry &e, fixed_text<kMaxSecurityText + 1> &out) {
  if (e.security_count <= 0) return;
  std::size_t count = static_cast<std::size_t>(e.security_count);
  if (count > kSlots) count = kSlots;  // the count never exceeds the slots
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out.append('/');
    out.append(field_text(e.security[i]));
  }
}

// A printf precision for a bounded text.
int precision(std::string_view s) { return static_cast<int>(s.size()); }

// ---------------------------------------------------------------- reading

// A private copy of a file's bytes in pages of its own. Reading the file
// (rather than mapping it) gives an image that is valid for every size, page
// multiples included, cannot fault when the file shrinks under it, and never
// reaches back into the file. The parser cuts fields by bounded views, so the
// image needs no NUL after the bytes and is never written once loaded.
class file_image {
 public:
  file_image() = default;
  file_image(const file_image &) = delete;
  file_image &operator=(const file_image &) = delete;
  ~file_image() {
    if (base_ != MAP_FAILED) munmap(base_, size_);
  }

  // size > 0. 0, or -1 when the memory cannot be had or the file does not
  // give size bytes from its start.
  int load(int fd, std::size_t size) {
    void *base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return -1;
    base_ = base;
    size_ = size;
    std::span<char> bytes(static_cast<char *>(base_), size_);
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

  std::string_view text() const { return {static_cast<const char *>(base_), size_}; }

 private:
  void *base_ = MAP_FAILED;
  std::size_t size_ = 0;
};

// Copies text that the caller has bounded into a fixed field, with its NUL.
template <std::size_t N>
void store(char (&field)[N], std::string_view text) {
  static_assert(N > 0);
  std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::span<char> dst(field, N);
  if (n > 0) memcpy(dst.data(), text.data(), n);
  dst[n] = '\0';
}

// The text before the first comma of s, and what follows that comma. False
// when s holds no comma.
bool cut_at_comma(std::string_view s, std::string_view &field, std::string_view &rest) {
  std::size_t comma = s.find(',');
  if (comma == std::string_view::npos) return false;
  field = s.substr(0, comma);
  rest = s.substr(comma + 1);
  return true;
}

// ESSID: bytes stand for themselves, "%" and a hexadecimal value for a byte.
// An escape always advances three characters, even when its value was one
// digit long or the step carries it past the comma that ends the field.
bool parse_essid(std::string_view record, std::string_view &rest, network_entry &e) {
  std::string_view field;
  if (!cut_at_comma(record, field, rest) || field.size() > kMaxEssidField) return false;
  std::span<char> essid(e.essid);
  std::size_t n = 0;
  std::size_t pos = 0;
  while (pos < field.size()) {
    char byte = record[pos];
    if (byte == '%') {
      // The scan runs over the record, not the field, as the number may
      // reach the comma; it stops there, as no number reads a comma.
      numscan::result v = numscan::scan_unsigned(record.substr(pos + 1), 16, 2);
      if (!v.ok) return false;
      byte = static_cast<char>(static_cast<unsigned char>(v.value));
      pos += 3;
    } else {
      pos += 1;
    }
    if (n == kMaxEssidBytes) return false;
    essid[n++] = byte;
  }
  e.essid_len = static_cast<uint32_t>(n);
  essid[n] = '\0';
  return true;
}

// Six hexadecimal bytes separated by colons; the text is kept as written.
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
  for (;;) {
    std::size_t slash = field.find('/');
    std::string_view item = field.substr(0, slash);
    if (item.size() > kMaxSlotText) return false;
    store(e.security[count], item);
    e.security_count = static_cast<int32_t>(++count);
    if (slash == std::string_view::npos || slash + 1 == field.size()) return true;
    field.remove_prefix(slash + 1);
    if (count >= kSlots) return false;
  }
}

// One record, without its "ESSID:" prefix and without the comma of the
// boundary that follows it.
bool parse_record(std::string_view record, network_entry &e) {
  std::string_view rest;
  if (!parse_essid(record, rest, e)) return false;

  std::string_view field;
  if (!cut_at_comma(rest, field, rest) || field.size() > kMaxBssidText) return false;
  store(e.bssid, field);
  if (!is_address(field)) return false;

  if (!cut_at_comma(rest, field, rest) || field.size() > kMaxModeText) return false;
  store(e.mode, field);

  if (!cut_at_comma(rest, field, rest) || !parse_security(field, e)) return false;

  // Channel: a leading integer; anything between it and its comma is ignored.
  std::string_view after_channel;
  if (!cut_at_comma(rest, field, after_channel)) return false;
  numscan::result channel = numscan::scan_int32(field);
  if (!channel.ok) return false;
  e.channel = channel.signed_value;

  // Quality, then " %", then "," when the record goes on: a record written
  // for the cache ends before that comma, as it belongs to the boundary.
  rest = after_channel;
  bool goes_on = rest.find(',') != std::string_view::npos;
  numscan::result quality = numscan::scan_unsigned(rest, 10, 3);
  if (!quality.ok) return false;
  rest.remove_prefix(quality.used);
  std::string_view suffix = goes_on ? " %," : " %";
  if (!rest.starts_with(suffix) || quality.value > kMaxQuality) return false;
  e.quality = static_cast<uint8_t>(quality.value);
  if (!goes_on) return true;

  rest.remove_prefix(suffix.size());
  std::string_view bitrate = rest.substr(0, rest.find(','));
  if (bitrate.size() > kMaxBitrateText) return false;
  store(e.bitrate, bitrate);
  return true;
}

// Every record of the image into the (cleared) list.
bool parse_image(std::string_view text) {
  // No field of a cache record can hold a NUL; one in the file means the
  // file is damaged, and reading on past it would drop records silently.
  if (text.find('\0') != std::string_view::npos) return false;
  if (!text.starts_with(kPrefix)) return false;
  list_clear();
  std::string_view rest = text.substr(kPrefix.size());
  for (;;) {
    network_entry *e = list_append_new();
    if (e == nullptr) return false;
    std::size_t boundary = rest.find(kBoundary);
    if (!parse_record(rest.substr(0, boundary), *e)) return false;
    if (boundary == std::string_view::npos) return true;
    rest.remove_prefix(boundary + kBoundary.size());
  }
}

}  // namespace

int write_network_lines(int encode, FILE *stream, int with_bssid, int with_rate) {
  for (const network_entry *e = list_first(); e != nullptr; e = list_next()) {
    fixed_text<kMaxEncodedEssid + 1> essid;
    if (encode) {
      if (e->essid_len > kMaxEssidBytes) return -1;
      encode_essid(std::span(e->essid).first(e->essid_len), essid);
    } else {
      // Raw: the bytes as NUL-terminated text, so a NUL byte ends it.
      std::size_t n = e->essid_len < kMaxEssidBytes ? e->essid_len : kMaxEssidBytes;
      essid.append(std::string_view(e->essid, strnlen(e->essid, n)));
    }
    fixed_text<kMaxSecurityText + 1> security;
    join_security(*e, security);

    const bool rate_on = with_rate && e->current;
    std::string_view bssid = with_bssid ? field_text(e->bssid) : std::string_view("");
    std::string_view mode = field_text(e->mode);
    std::string_view rate = rate_on ? field_text(e->bitrate) : std::string_view("");
    // The texts are bounded by their fields, so printing reads nothing past them.
    fprintf(stream, "ESSID:%s,%.*s%s%.*s,%s,%d,%u %%,%.*s%s", essid.c_str(), precision(bssid),
            bssid.data(), with_bssid ? "," : "", precision(mode), mode.data(), security.c_str(),
            static_cast<int>(e->channel), static_cast<unsigned>(e->quality), precision(rate),
            rate.data(), rate_on ? "," : "");
  }
  return 0;
}

int read_cache(FILE *stream) {
  if (stream == nullptr) return -1;
  rewind(stream);
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) {
    list_clear();
    return -1;
  }
  // Only a regular file can be the cache, and its size is judged before a
  // byte of it is read.
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxCacheBytes) {
    list_clear();
    return -1;
  }
  if (st.st_size == 0) return 0;
  // A size that does not fit in memory's index type cannot be read.
  const auto file_size = static_cast<std::make_unsigned_t<off_t>>(st.st_size);
  const auto size = static_cast<std::size_t>(file_size);
  file_image image;
  // cppcheck-suppress knownConditionTrueFalse ; false where size_t is as wide as off_t, not everywhere
  if (st.st_size < 0 || size != file_size || image.load(fileno(stream), size) != 0) {
    list_clear();
    return -1;
  }
  return parse_cache(image.text().data(), size);
}

int parse_cache(const char *bytes, std::size_t size) {
  if (size == 0) return 0;
  if (bytes != nullptr && parse_image(std::string_view(bytes, size))) return 0;
  list_clear();
  return -1;
}
