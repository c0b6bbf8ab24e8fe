// SPDX-License-Identifier: MIT
#include "netlist/linefmt.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "netlist/netlist.h"
#include "netlist/netlist_alloc.h"

namespace {

// What a test says about one entry; text fields as std::string so that they
// may hold any byte.
struct Net {
  std::string essid{};
  std::string bssid{};
  std::string mode{};
  std::vector<std::string> security{};
  int32_t channel = 0;
  uint8_t quality = 0;
  uint32_t current = 0;
  std::string bitrate{};
  bool operator==(const Net &) const = default;
};

network_entry *add(const Net &n) {
  network_entry *e = list_append_new();
  if (e == nullptr) return nullptr;
  memcpy(e->essid, n.essid.data(), std::min(n.essid.size(), sizeof e->essid));
  e->essid_len = static_cast<uint32_t>(n.essid.size());
  snprintf(e->bssid, sizeof e->bssid, "%s", n.bssid.c_str());
  snprintf(e->mode, sizeof e->mode, "%s", n.mode.c_str());
  for (const std::string &s : n.security)
    snprintf(e->security[e->security_count++], sizeof e->security[0], "%s", s.c_str());
  e->channel = n.channel;
  e->quality = n.quality;
  e->current = n.current;
  snprintf(e->bitrate, sizeof e->bitrate, "%s", n.bitrate.c_str());
  return e;
}

std::vector<Net> list_contents() {
  std::vector<Net> v;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) {
    Net &n = v.emplace_back(Net{.essid = std::string(e->essid, e->essid_len),
                                .bssid = e->bssid,
                                .mode = e->mode,
                                .channel = e->channel,
                                .quality = e->quality,
                                .current = e->current,
                                .bitrate = e->bitrate});
    for (int i = 0; i < e->security_count; ++i) n.security.emplace_back(e->security[i]);
  }
  return v;
}

void PrintTo(const Net &n, std::ostream *os) {
  *os << testing::PrintToString(n.essid) << " " << n.bssid << " " << n.mode << " "
      << testing::PrintToString(n.security) << " " << n.channel << " " << int{n.quality} << " "
      << n.current << " " << n.bitrate;
}

// A read-write temporary file, removed when closed.
class TempFile {
 public:
  explicit TempFile(const std::string &bytes = "") : f_(tmpfile()) {
    if (f_ != nullptr && !bytes.empty()) {
      fwrite(bytes.data(), 1, bytes.size(), f_);
      fflush(f_);
    }
  }
  ~TempFile() {
    if (f_ != nullptr) fclose(f_);
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  FILE *get() const { return f_; }

  // The file's bytes as the file system holds them.
  std::string bytes() const {
    fflush(f_);
    struct stat st {};
    if (fstat(fileno(f_), &st) != 0) return "<fstat failed>";
    std::string s(static_cast<std::size_t>(st.st_size), '\0');
    if (pread(fileno(f_), s.data(), s.size(), 0) != static_cast<ssize_t>(s.size()))
      return "<short read>";
    return s;
  }

 private:
  FILE *f_;
};

struct Written {
  int result;
  std::string text;
};

Written write_list(int encode, int with_bssid, int with_rate) {
  TempFile f;
  int r = write_network_lines(encode, f.get(), with_bssid, with_rate);
  return {r, f.bytes()};
}

class LineFormatTest : public ::testing::Test {
 protected:
  void SetUp() override { list_clear(); }
  void TearDown() override { list_clear(); }
};

// ------------------------------------------------------------ writer

// Bytes that an encoded ESSID carries as themselves, as ranges.
constexpr struct {
  int lo, hi;
} kLiteralRanges[] = {{0x21, 0x21}, {0x24, 0x24}, {0x27, 0x2a},
                      {0x2d, 0x39}, {0x41, 0x5b}, {0x5d, 0x7a}};

TEST_F(LineFormatTest, EncodingTableCoversEveryByte) {
  int literal_count = 0;
  for (int b = 0; b < 256; ++b) {
    list_clear();
    add({.essid = std::string(1, static_cast<char>(b))});
    bool literal = false;
    for (auto r : kLiteralRanges) literal |= b >= r.lo && b <= r.hi;
    literal_count += literal;
    char escaped[4];
    snprintf(escaped, sizeof escaped, "%%%02x", b);
    std::string want =
        "ESSID:" + (literal ? std::string(1, static_cast<char>(b)) : escaped) + ",,,0,0 %,";
    SCOPED_TRACE(b);
    EXPECT_EQ(write_list(1, 0, 0).text, want);
  }
  EXPECT_EQ(literal_count, 76);
}

// Hand-made records of the forms the program names: the cache file's, and
// the consumer's line with and without -e. Every form with every kind of
// field is compared with printf's below.
TEST_F(LineFormatTest, RecordForms) {
  const Net home{.essid = "home net",
                 .bssid = "00:11:22:aa:bb:cc",
                 .mode = "Master",
                 .security = {"WPA2-PSK", "WPS"},
                 .channel = 6,
                 .quality = 70,
                 .current = 1,
                 .bitrate = "54 Mb/s"};
  Net nul = home;
  nul.essid = std::string("ab\0cd", 5);
  nul.current = 0;
  const Net odd{.essid = "", .mode = "Ad-Hoc", .channel = -3, .quality = 255, .current = 1};
  const std::string tail = ",Master,WPA2-PSK/WPS,6,70 %,";
  const struct {
    std::vector<Net> nets;
    record_form form;
    std::string want;
  } cases[] = {
      {{home}, kCacheForm, "ESSID:home%20net,00:11:22:aa:bb:cc" + tail},  // no rate
      {{home}, output_form(false), "ESSID:home net" + tail + "54 Mb/s,"},
      {{home}, output_form(true), "ESSID:home%20net" + tail + "54 Mb/s,"},
      {{nul}, output_form(false), "ESSID:ab" + tail},  // the raw ESSID ends at a NUL
      {{nul}, output_form(true), "ESSID:ab%00cd" + tail},
      {{odd}, output_form(false), "ESSID:,Ad-Hoc,,-3,255 %,,"},  // an empty rate too
      {{}, kCacheForm, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.want);
    list_clear();
    for (const Net &n : c.nets) add(n);
    TempFile f;
    EXPECT_EQ(write_records(f.get(), c.form), 0);
    EXPECT_EQ(f.bytes(), c.want);
  }
}

// The record as the C library's printf formats it, with the same pieces.
std::string printf_record(const network_entry &e, int encode, int with_bssid, int with_rate) {
  std::string essid;
  for (std::size_t i = 0; i < e.essid_len && i < 32; ++i) {
    auto c = static_cast<unsigned char>(e.essid[i]);
    bool plain = false;
    for (const auto &r : kLiteralRanges) plain = plain || (c >= r.lo && c <= r.hi);
    if (!encode && c == 0) break;
    char esc[4];
    snprintf(esc, sizeof esc, "%%%02x", c);
    essid += encode && !plain ? std::string(esc) : std::string(1, static_cast<char>(c));
  }
  std::string security;
  for (int i = 0; i < e.security_count; ++i) {
    if (i > 0) security += '/';
    security += std::string(e.security[i], strnlen(e.security[i], 11));
  }
  const bool rate = with_rate && e.current;
  char line[512];
  snprintf(line, sizeof line, "ESSID:%s,%.*s%s%.*s,%s,%d,%u %%,%.*s%s", essid.c_str(),
           with_bssid ? static_cast<int>(strnlen(e.bssid, 17)) : 0, e.bssid, with_bssid ? "," : "",
           static_cast<int>(strnlen(e.mode, 6)), e.mode, security.c_str(), e.channel,
           static_cast<unsigned>(e.quality), rate ? static_cast<int>(strnlen(e.bitrate, 11)) : 0,
           e.bitrate, rate ? "," : "");
  return line;
}

// Every field at every length, filled to the brim (no NUL inside the field)
// or not, every number's extremes: the records are printf's, byte for byte,
// also in lists far longer than the writer's buffer of a few kilobytes.
TEST_F(LineFormatTest, RecordsAreThoseOfPrintf) {
  std::mt19937 rng(140);
  std::uniform_int_distribution<int> byte(0, 255), coin(0, 1), slots(0, 6), small(0, 18);
  std::uniform_int_distribution<uint32_t> essid_len(0, 32);
  const int32_t channels[] = {0, 1, 9, 10, 99, 100, 999, 1000, 165, -1, -10, INT32_MAX, INT32_MIN};
  for (int round = 0; round < 500; ++round) {
    list_clear();
    const int count = round % 100 == 0 ? 300 : 8;
    for (int i = 0; i < count; ++i) {
      network_entry *e = list_append_new();
      ASSERT_NE(e, nullptr);
      e->essid_len = essid_len(rng);
      for (uint32_t k = 0; k < e->essid_len; ++k)
        e->essid[k] = static_cast<char>(coin(rng) ? 'a' + k % 26 : byte(rng));
      auto fill = [&](char *field, std::size_t size) {
        std::size_t n = static_cast<std::size_t>(small(rng)) % (size + 1);  // size: no NUL at all
        for (std::size_t k = 0; k < n && k < size; ++k)
          field[k] = static_cast<char>('A' + byte(rng) % 58);
      };
      fill(e->bssid, sizeof e->bssid);
      fill(e->mode, sizeof e->mode);
      e->security_count = slots(rng);
      for (int k = 0; k < e->security_count; ++k) fill(e->security[k], sizeof e->security[k]);
      e->channel = coin(rng) ? channels[static_cast<std::size_t>(byte(rng)) % std::size(channels)]
                             : static_cast<int32_t>(rng());
      e->quality = static_cast<uint8_t>(byte(rng));
      e->current = static_cast<uint32_t>(coin(rng));
      fill(e->bitrate, sizeof e->bitrate);
    }
    for (int encode : {0, 1})
      for (int with_bssid : {0, 1})
        for (int with_rate : {0, 1}) {
          std::string want;
          for (network_entry *e = list_first(); e != nullptr; e = list_next())
            want += printf_record(*e, encode, with_bssid, with_rate);
          Written w = write_list(encode, with_bssid, with_rate);
          ASSERT_EQ(w.result, 0);
          ASSERT_EQ(w.text, want) << encode << with_bssid << with_rate;
          ASSERT_TRUE(count == 8 || w.text.size() > 2 * 4096u) << w.text.size();
        }
  }
}

// ------------------------------------------------------------ reader

// A record the reader accepts, as its entry, and the record up to its mode.
const Net kBase{.essid = "a", .bssid = "00:11:22:33:44:55", .channel = 1, .quality = 1};
const std::string kA = "ESSID:a,00:11:22:33:44:55,";
const char kValidRecord[] = "ESSID:ok,00:11:22:33:44:55,Master,WEP,1,50 %,";

struct ReadOutcome {
  int result;
  std::vector<Net> list;
  bool file_unchanged;
  long position;
};

ReadOutcome read_bytes(const std::string &bytes) {
  TempFile f(bytes);
  fseek(f.get(), 0, SEEK_END);
  int r = read_cache(f.get());
  long pos = ftell(f.get());
  return {r, list_contents(), f.bytes() == bytes, pos};
}

TEST_F(LineFormatTest, ReaderFailures) {
  std::string six_slots_and_slash;  // 72 characters
  for (int i = 0; i < 6; ++i) six_slots_and_slash += "WPA2-802.1x/";
  // One group per row of the reader's failure table. Record-level cases are
  // tried alone and after a valid record, which the failure must discard.
  const struct {
    const char *row;
    std::vector<std::string> files;
    bool record_level;
  } rows[] = {
      {"does not begin with ESSID:",
       {"E", "ESSID", "essid:a,00:11:22:33:44:55,,,1,1 %,", " ESSID:a,00:11:22:33:44:55,,,1,1 %,",
        "\nESSID:a,00:11:22:33:44:55,,,1,1 %,", "junk"},
       false},
      {"a NUL byte in the file",
       {std::string(kValidRecord) + std::string(1, '\0') + "ESSID:x",
        std::string("ESSID:a\0,00:11:22:33:44:55,,,1,1 %,", 35)},
       false},
      {"record without a comma",
       {"ESSID:", "ESSID:abc", "ESSID:abc,00:11:22:33:44:55", "ESSID:abc,00:11:22:33:44:55,Master",
        "ESSID:abc,00:11:22:33:44:55,Master,WEP", "ESSID:abc,00:11:22:33:44:55,Master,WEP,6"},
       true},
      {"ESSID field",
       {"ESSID:" + std::string(100, 'a') + ",00:11:22:33:44:55,,,1,1 %,",
        "ESSID:" + std::string(33, 'a') + ",00:11:22:33:44:55,,,1,1 %,",
        "ESSID:" + std::string(31, 'a') + "%20%20,00:11:22:33:44:55,,,1,1 %,",
        "ESSID:%g1,00:11:22:33:44:55,,,1,1 %,", "ESSID:a%,00:11:22:33:44:55,,,1,1 %,",
        "ESSID:a% ,00:11:22:33:44:55,,,1,1 %,", "ESSID:%-,00:11:22:33:44:55,,,1,1 %,"},
       true},
      {"address field",
       {"ESSID:a,00:11:22:33:44:555,,,1,1 %,", "ESSID:a,00:11:22:33:44,,,1,1 %,",
        "ESSID:a,00-11-22-33-44-55,,,1,1 %,", "ESSID:a,g0:11:22:33:44:55,,,1,1 %,",
        "ESSID:a,,,,1,1 %,", "ESSID:a,00:11:22:33:44:,,,1,1 %,",
        "ESSID:a,0:11:22:33:44::55,,,1,1 %,"},
       true},
      {"mode field", {kA + "Masters,,1,1 %,"}, true},
      {"a field ended by the next record",
       {kA + "ESSID:b,00:11:22:33:44:55,,,1,1 %,", kA + "Master,ESSID:b,00:11:22:33:44:55,,,1,1 %,",
        kA + ",,7,ESSID:b,00:11:22:33:44:55,,,1,1 %,"},
       true},
      {"security field",
       {kA + "," + std::string(72, 'W') + ",1,1 %,", kA + ",WPA2-802.1xx,1,1 %,",
        kA + ",a/b/c/d/e/f/g,1,1 %,", kA + ",a/b/c/d/e/f/g/,1,1 %,", kA + ",///////,1,1 %,",
        kA + "," + six_slots_and_slash + ",1,1 %,"},
       true},
      {"channel field",
       {kA + ",,,1 %,", kA + ",,x6,1 %,", kA + ",,-,1 %,", kA + ",,2147483648,1 %,",
        kA + ",,-2147483649,1 %,"},
       true},
      {"quality field",
       {kA + ",,1,101 %,", kA + ",,1,1000 %,", kA + ",,1,70%,", kA + ",,1,70 ,", kA + ",,1,70  %,",
        kA + ",,1,70", kA + ",,1,70 ", kA + ",,1,-5 %,", kA + ",,1,x %,", kA + ",,1, %,",
        kA + ",,1,70 %x,54 Mb/s,"},
       true},
      {"bit-rate field", {kA + ",,1,70 %,54.5 Mbit/s,"}, true},
  };
  for (const auto &row : rows) {
    for (const std::string &file : row.files) {
      std::vector<std::string> variants{file};
      if (row.record_level) variants.push_back(kValidRecord + file);
      for (const std::string &bytes : variants) {
        SCOPED_TRACE(std::string(row.row) + ": \"" + bytes + "\"");
        ReadOutcome out = read_bytes(bytes);
        EXPECT_EQ(out.result, -1);
        EXPECT_TRUE(out.list.empty());
        EXPECT_TRUE(out.file_unchanged);
        EXPECT_EQ(out.position, 0);
      }
    }
  }
}

// Only a regular file within the size bound is read; the size is judged
// before anything is read, so a huge (sparse) file costs nothing.
TEST_F(LineFormatTest, ReaderRefusesStreamsOtherThanSmallFiles) {
  const std::string valid = kA + ",,1,1 %,";
  for (off_t size : {off_t{kMaxCacheBytes} + 1, off_t{1} << 40}) {
    SCOPED_TRACE(size);
    TempFile f(valid);
    ASSERT_EQ(ftruncate(fileno(f.get()), size), 0);
    EXPECT_EQ(read_cache(f.get()), -1);
    EXPECT_EQ(list_first(), nullptr);
  }
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], valid.data(), valid.size()), static_cast<ssize_t>(valid.size()));
  close(p[1]);
  std::string buf = valid;
  FILE *pipe_end = fdopen(p[0], "r");
  FILE *memory = fmemopen(buf.data(), buf.size(), "r");  // no descriptor: fstat fails
  ASSERT_TRUE(pipe_end != nullptr && memory != nullptr);
  for (FILE *stream : {pipe_end, memory, fopen("/", "r")}) {  // "/": cannot be read as a file
    if (stream == nullptr) continue;
    EXPECT_EQ(read_cache(stream), -1);
    EXPECT_EQ(list_first(), nullptr);
    fclose(stream);
  }
}

// Fails every allocation after the first `allowed` ones, and counts those made.
int allocations_left = 0;
int allocations_made = 0;
void *failing_alloc(std::size_t count, std::size_t size) {
  if (allocations_left == 0) return nullptr;
  --allocations_left;
  ++allocations_made;
  return calloc(count, size);
}

// The reader allocates the records as one block of the size it estimates;
// records shorter than the estimate take more blocks, each filled in order. A
// failed allocation of any block fails the read as a whole.
TEST_F(LineFormatTest, ReaderAllocatesTheRecordsInBlocks) {
  const std::string three = std::string(kValidRecord) + kValidRecord + kValidRecord;
  std::string short_ones;
  std::vector<Net> short_nets;
  for (int i = 0; i < 300; ++i) {
    char bssid[18];
    snprintf(bssid, sizeof bssid, "00:00:00:00:%02X:%02X", i >> 8, i & 0xff);
    short_ones += "ESSID:," + std::string(bssid) + ",,," + std::to_string(i % 13 + 1) + "," +
                  std::to_string(i % 100) + " %,";
    short_nets.push_back(
        {.bssid = bssid, .channel = i % 13 + 1, .quality = static_cast<uint8_t>(i % 100)});
  }
  const Net ok{.essid = "ok",
               .bssid = "00:11:22:33:44:55",
               .mode = "Master",
               .security = {"WEP"},
               .channel = 1,
               .quality = 50};
  const std::vector<Net> none, three_nets(3, ok);
  const struct {
    const std::string &text;
    int allowed;
    const std::vector<Net> &want;  // none: the read fails
    int blocks;                    // -1: more than one
  } cases[] = {{three, 0, none, 0},
               {three, 1, three_nets, 1},
               {short_ones, 1, none, 1},
               {short_ones, 100, short_nets, -1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text.size() + c.allowed);
    netlist_internal::scoped_entry_alloc guard(failing_alloc);
    allocations_left = c.allowed;
    allocations_made = 0;
    ReadOutcome out = read_bytes(c.text);
    EXPECT_EQ(out.result, c.want.empty() ? -1 : 0);
    EXPECT_EQ(out.list, c.want);
    EXPECT_TRUE(c.blocks < 0 ? allocations_made > 1 : allocations_made == c.blocks)
        << allocations_made;
  }
  {
    // A later append still gets an entry of its own after the block.
    netlist_internal::scoped_entry_alloc guard(failing_alloc);
    allocations_left = 2;
    ASSERT_EQ(read_bytes(three).list.size(), 3u);
    ASSERT_NE(list_append_new(), nullptr);
    EXPECT_EQ(list_contents().size(), 4u);
  }
  EXPECT_EQ(read_bytes(three).list.size(), 3u);  // the guard gave the allocator back
}

// The base record with fields changed: pairs of a field and its value.

void set_fields(Net & /*n*/) {}
template <class T, class V, class... More>
void set_fields(Net &n, T Net::*field, V value, More... more) {
  n.*field = value;
  set_fields(n, more...);
}
template <class... Changes>
Net with(Changes... changes) {
  Net n = kBase;
  set_fields(n, changes...);
  return n;
}
using slots = std::vector<std::string>;
constexpr auto kEssid = &Net::essid;
constexpr auto kBssid = &Net::bssid;
constexpr auto kMode = &Net::mode;
constexpr auto kSlots = &Net::security;
constexpr auto kChannel = &Net::channel;
constexpr auto kQuality = &Net::quality;
constexpr auto kRate = &Net::bitrate;

// What the writer writes is read back by the round trip below; these are the
// other texts the reader accepts.
TEST_F(LineFormatTest, ReaderAccepts) {
  const struct {
    const char *name;
    std::string file;
    std::vector<Net> want;
  } cases[] = {
      {"empty file", "", {}},
      {"last record of the writer", kA + ",,1,1 %,", {kBase}},
      {"last record without its comma", kA + ",,1,1 %", {kBase}},
      {"bit rate after the suffix", kA + ",,1,1 %,54 Mb/s,", {with(kRate, "54 Mb/s")}},
      {"bit rate to the end", kA + ",,1,1 %,54 Mbit/s", {with(kRate, "54 Mbit/s")}},
      {"bit rate of a middle record",
       kA + ",,1,1 %,1 Mb/s," + kA + ",,1,1 %,",
       {with(kRate, "1 Mb/s"), kBase}},
      {"one-digit address groups", "ESSID:a,0:1:2:3:4:5,,,1,1 %,", {with(kBssid, "0:1:2:3:4:5")}},
      {"uppercase escape", "ESSID:a%2C%3Ab,00:11:22:33:44:55,,,1,1 %,", {with(kEssid, "a,:b")}},
      {"one-digit escape before the comma",
       "ESSID:a%f,00:11:22:33:44:55,,,1,1 %,",
       {with(kEssid, "a\x0f")}},
      {"an escape always takes three characters",
       "ESSID:%fzb% cd% 1x,00:11:22:33:44:55,,,1,1 %,",
       {with(kEssid, "\017b\315d\001x")}},
      {"six entries and a trailing slash",
       kA + ",a/b/c/d/e/f/,1,1 %,",
       {with(kSlots, slots{"a", "b", "c", "d", "e", "f"})}},
      {"a trailing slash adds no slot", kA + ",WEP/,1,1 %,", {with(kSlots, slots{"WEP"})}},
      {"six empty entries", kA + ",//////,1,1 %,", {with(kSlots, slots(6))}},
      {"a lone slash", kA + ",/,1,1 %,", {with(kSlots, slots{""})}},
      {"leading and double slashes", kA + ",/a//b,1,1 %,", {with(kSlots, slots{"", "a", "", "b"})}},
      {"negative channel, text after it", kA + ",,-12x y,1 %,", {with(kChannel, -12)}},
      {"quality 100 and 0",
       kA + ",,1,100 %," + kA + ",,1,0 %,",
       {with(kQuality, 100), with(kQuality, 0)}},
      // The writer's forms are read where they stand; these take the general path.
      {"blanks and signs before numbers", kA + ",, +7,  5 %,", {with(kChannel, 7, kQuality, 5)}},
      {"channel limits",
       kA + ",,2147483647,1 %," + kA + ",,-2147483648,1 %," + kA + ",,999999999,1 %," + kA +
           ",,-0,1 %,",
       {with(kChannel, INT32_MAX), with(kChannel, INT32_MIN), with(kChannel, 999999999),
        with(kChannel, 0)}},
      {"address of either case, and with blanks",
       "ESSID:a,0a:1B:2c:3D:4e:5F,,,1,1 %,ESSID:a, 0:1: 2:3:4:5,,,1,1 %,",
       {with(kBssid, "0a:1B:2c:3D:4e:5F"), with(kBssid, " 0:1: 2:3:4:5")}},
      {"escapes of two digits before more",
       "ESSID:%414%2c,00:11:22:33:44:55,,,1,1 %,",
       {with(kEssid, "A4,")}},
      {"mode texts",
       kA + "Master,,1,1 %," + kA + "Mast,,1,1 %,",
       {with(kMode, "Master"), with(kMode, "Mast")}},
  };
  for (const auto &c : cases) {
    list_clear();
    SCOPED_TRACE(c.name);
    ReadOutcome out = read_bytes(c.file);
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(out.file_unchanged);
    EXPECT_EQ(out.position, 0);
    EXPECT_EQ(out.list, c.want);
  }
}

// An ESSID too long to encode stops the cache form after every earlier
// record, also when these filled several of the writer's buffers.
TEST_F(LineFormatTest, OverlongEssidStopsAfterEarlierRecords) {
  for (int i = 0; i < 100; ++i)
    add({.essid = std::string(static_cast<std::size_t>(i % 33), i % 2 != 0 ? ' ' : 'x'),
         .bssid = "00:11:22:33:44:55",
         .security = {"WPA2-802.1x", "WPA-802.1x", "WPA2-PSK", "WPA-PSK", "WEP", "WPS-PBC"}});
  const std::string expected = write_list(1, 1, 0).text;
  ASSERT_GT(expected.size(), 2 * 4096u);
  add({.essid = std::string(32, 'x')})->essid_len = 33;
  add({.essid = "after"});
  Written cut = write_list(1, 1, 0);
  EXPECT_EQ(cut.result, -1);
  EXPECT_EQ(cut.text, expected);
}

TEST_F(LineFormatTest, CacheWriteAfterReadOverwritesFromTheStart) {
  TempFile f("ESSID:old,00:11:22:33:44:55,,,1,1 %,");
  ASSERT_EQ(read_cache(f.get()), 0);
  list_first()->essid[0] = 'n';
  add({.essid = "x", .bssid = "00:00:00:00:00:00"});
  ASSERT_EQ(write_network_lines(1, f.get(), 1, 0), 0);
  EXPECT_EQ(f.bytes(), "ESSID:nld,00:11:22:33:44:55,,,1,1 %,ESSID:x,00:00:00:00:00:00,,,0,0 %,");
}

// Files of every size near page boundaries read like any other, with all
// their records: the reader must not depend on bytes past the file's end.
TEST_F(LineFormatTest, ReadsFilesOfPageSizes) {
  const long page = sysconf(_SC_PAGESIZE);
  for (long size : {page - 1, page, page + 1, 2 * page, 3 * page}) {
    // Whole records, then one whose channel field is padded to the size.
    const std::string rec = "ESSID:n,00:11:22:33:44:55,Master,WPA2,7,42 %,";
    const std::string tail_head = "ESSID:last,00:11:22:33:44:55,,,9";
    const std::string tail_end = ",100 %,";
    std::string file;
    long records = 0;
    while (static_cast<long>(file.size() + rec.size() + tail_head.size() + tail_end.size()) <=
           size) {
      file += rec;
      ++records;
    }
    const std::size_t pad =
        static_cast<std::size_t>(size) - file.size() - tail_head.size() - tail_end.size();
    file.append(tail_head).append(pad, ' ').append(tail_end);
    ASSERT_EQ(static_cast<long>(file.size()), size);
    list_clear();
    ReadOutcome out = read_bytes(file);
    SCOPED_TRACE(size);
    ASSERT_EQ(out.result, 0);
    ASSERT_EQ(static_cast<long>(out.list.size()), records + 1);
    EXPECT_EQ(out.list.front().mode, "Master");
    EXPECT_EQ(out.list.front().security, std::vector<std::string>{"WPA2"});
    EXPECT_EQ(out.list.back().essid, "last");
    EXPECT_EQ(out.list.back().channel, 9);
    EXPECT_EQ(out.list.back().quality, 100);
  }
}

// ------------------------------------------------------------ round trip

// Random texts without the separators that the program never puts in them.
std::string random_text(std::mt19937 &rng, std::size_t max_len, const char *forbidden) {
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<int> byte(1, 255);
  std::string s;
  for (std::size_t n = len(rng); s.size() < n;) {
    char c = static_cast<char>(byte(rng));
    if (strchr(forbidden, c) == nullptr) s.push_back(c);
  }
  return s;
}

TEST_F(LineFormatTest, CacheRoundTripPreservesWhatItPromises) {
  const unsigned seed = 20261207;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> entries(0, 8), slots(0, 6), quality(0, 100), coin(0, 1),
      byte(0, 255);
  std::uniform_int_distribution<std::size_t> essid_len(0, 32);
  std::uniform_int_distribution<int32_t> channel(INT32_MIN, INT32_MAX);
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", list " + std::to_string(round));
    list_clear();
    std::vector<Net> want;
    for (int i = entries(rng); i > 0; --i) {
      Net n;
      for (std::size_t k = essid_len(rng); k > 0; --k)
        n.essid.push_back(static_cast<char>(byte(rng)));
      char addr[18];
      if (coin(rng))
        snprintf(addr, sizeof addr, "%02x:%02x:%02x:%02x:%02x:%02x", byte(rng), byte(rng),
                 byte(rng), byte(rng), byte(rng), byte(rng));
      else
        snprintf(addr, sizeof addr, "%X:%x:%X:%x:%X:%x", byte(rng) & 15, byte(rng), byte(rng) & 15,
                 byte(rng), byte(rng), byte(rng) & 15);
      n.bssid = addr;
      n.mode = random_text(rng, 6, ",");
      for (int k = slots(rng); k > 0; --k) n.security.push_back(random_text(rng, 11, ",/"));
      n.channel = channel(rng);
      n.quality = static_cast<uint8_t>(quality(rng));
      n.current = static_cast<uint32_t>(coin(rng));
      n.bitrate = n.current ? "54 Mb/s" : "";
      network_entry *e = add(n);
      ASSERT_NE(e, nullptr);
      e->privacy = e->wps = static_cast<uint32_t>(coin(rng));

      // What a read gives back: no rate and no flags; an empty last slot is lost.
      n.current = 0;
      n.bitrate.clear();
      if (!n.security.empty() && n.security.back().empty()) n.security.pop_back();
      want.push_back(n);
    }
    Written file = write_list(1, 1, 0);
    ASSERT_EQ(file.result, 0);
    list_clear();
    ReadOutcome out = read_bytes(file.text);
    ASSERT_EQ(out.result, 0) << file.text;
    ASSERT_EQ(out.list, want) << file.text;
    for (network_entry *e = list_first(); e != nullptr; e = list_next()) {
      EXPECT_EQ(e->privacy, 0u);
      EXPECT_EQ(e->wps, 0u);
    }
  }
}

}  // namespace
