// SPDX-License-Identifier: MIT
// Scan result events to network list entries.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>

#include "backend/flow.h"
#include "backend/ieee80211/byte_reader.h"
#include "backend/we/we.h"
#include "netlist/hexdigit.h"

namespace {

using bytes = std::span<const unsigned char>;

// The payload of a pointer event, or an empty span when libiw discarded it or
// when it does not lie inside the bytes walked.
bytes payload(const iw_point &point, bytes buffer) {
  if (point.pointer == nullptr || point.length == 0) return {};
  auto start = reinterpret_cast<uintptr_t>(point.pointer);
  auto first = reinterpret_cast<uintptr_t>(buffer.data());
  if (start < first || start - first > buffer.size()) return {};
  size_t offset = start - first;
  if (point.length > buffer.size() - offset) return {};
  return buffer.subspan(offset, point.length);
}

cell_mode mode_of(uint32_t mode) {
  if (mode == IW_MODE_ADHOC) return kModeAdHoc;
  if (mode == IW_MODE_INFRA || mode == IW_MODE_MASTER) return kModeMaster;
  return kModeOther;
}

// A report marked invalid, one whose level is 0 without dBm or RCPI, and
// one without a figure leave the cell's signal alone.
void take_signal(cell_record *cell, const iw_quality &event, const iw_range *range) {
  if (event.updated & IW_QUAL_QUAL_INVALID) return;
  if (event.level == 0 && (event.updated & (IW_QUAL_DBM | IW_QUAL_RCPI)) == 0) return;
  const signal_record s = we_signal(event, range);
  if (signal_given(s)) cell->signal = s;
}

// Security elements already read for the open cell. Some drivers report an
// element twice, as hex text in a custom event and again in a generic element
// event; each element gives its descriptors once. Elements are remembered
// where they lie, decoded ones where the batch keeps them; past 32 elements,
// or 1024 bytes of decoded ones, an element is read without being remembered.
class SeenElements {
 public:
  void clear() {
    count_ = 0;
    decoded_ = 0;
  }
  bool contains(bytes element) const {
    for (size_t i = 0; i < count_; i++)
      if (std::ranges::equal(seen_[i], element)) return true;
    return false;
  }
  // element must stay valid for the rest of the walk.
  void remember(bytes element, bool decoded) {
    if (count_ == std::size(seen_) || (decoded && element.size() > 1024 - decoded_)) return;
    if (decoded) decoded_ += element.size();
    seen_[count_++] = element;
  }

 private:
  bytes seen_[32];
  size_t count_ = 0;
  size_t decoded_ = 0;
};

constexpr uint8_t kIdRsn = 48;
constexpr uint8_t kIdVendor = 221;

// The state of one walk: the batch, the cell it is filling (null while the
// walk passes over a cell), the elements read, and the zeroed tail whose
// bytes do not outlive the walk.
struct walk {
  cell_batch *batch;
  cell_record *cell;
  SeenElements seen;
  bytes tail;
};

// bytes as they stay valid after the walk: copied when they lie in the tail
// or in a buffer of the walk's own. false when out of memory.
bool lasting(walk *w, bytes in, bool copy, bytes *out) {
  copy = copy || (!in.empty() && !w->tail.empty() && in.data() >= w->tail.data() &&
                  in.data() < w->tail.data() + w->tail.size());
  if (!copy) {
    *out = in;
    return true;
  }
  return w->batch->keep(in, out);
}

// One element, possibly cut short by the end of its buffer (at least its two
// header bytes), reported in its turn. copy: the bytes do not outlive this call.
int take_element(walk *w, bytes element, bool copy) {
  uint8_t id = 0;
  ByteReader(element).peek_u8(0, &id);
  bool security = id == kIdRsn || id == kIdVendor;
  if (security && w->seen.contains(element)) return 0;
  bytes kept;
  if (!lasting(w, element, copy, &kept) || w->batch->report(false, kept) != 0) return -1;
  if (security) w->seen.remember(copy ? kept : element, copy);
  return 0;
}

// Walks a buffer of elements; an element whose length runs past the end is
// read as far as it goes and ends the walk.
int parse_elements(walk *w, bytes elements) {
  ByteReader reader(elements);
  while (reader.remaining() >= 2) {
    const bytes start = reader.rest();
    uint8_t id;
    ByteReader body;
    const bool whole = reader.read_element(&id, &body);
    const bytes element = whole ? start.first(start.size() - reader.remaining()) : start;
    if (take_element(w, element, false) != 0) return -1;
    if (!whole) break;
  }
  return 0;
}

uint8_t hex_value(unsigned c) { return hexdigit::kValue[static_cast<char>(c)]; }

// An even, non-zero number of hexadecimal digits and nothing else.
bool is_hex_text(bytes text) {
  if (text.empty() || text.size() % 2 != 0) return false;
  for (uint8_t c : text)
    if (hex_value(c) == hexdigit::kNotHex) return false;
  return true;
}

// The next byte of checked hex text.
bool read_hex_byte(ByteReader *text, uint8_t *out) {
  uint16_t pair;
  if (!text->read_u16_be(&pair)) return false;
  *out = static_cast<uint8_t>(hex_value(pair >> 8) << 4 | hex_value(pair & 0xFF));
  return true;
}

// The walk of parse_elements over the bytes that hex text stands for, one
// element decoded at a time.
int parse_hex_elements(walk *w, bytes text) {
  ByteReader reader(text);
  for (;;) {
    unsigned char element[2 + 255];
    if (!read_hex_byte(&reader, &element[0]) || !read_hex_byte(&reader, &element[1])) break;
    size_t size = 2;
    const size_t want = static_cast<size_t>(element[1]) + 2;
    while (size < want && read_hex_byte(&reader, &element[size])) size++;
    if (take_element(w, bytes(element, size), true) != 0) return -1;
    if (size < want) break;
  }
  return 0;
}

// cfg80211's " Last beacon: 100ms ago": how long ago the cell was heard.
void take_age(cell_record *cell, bytes text) {
  static constexpr char kHead[] = "Last beacon: ";
  while (!text.empty() && text[0] == ' ') text = text.subspan(1);
  constexpr size_t n = sizeof kHead - 1;
  // The head, at least one digit, "ms ago".
  if (text.size() < n + 7 || memcmp(text.data(), kHead, n) != 0 ||
      memcmp(&text[text.size() - 6], "ms ago", 6) != 0)
    return;
  uint64_t ms = 0;
  for (size_t i = n; i < text.size() - 6; ++i) {
    if (text[i] < '0' || text[i] > '9' || ms > UINT32_MAX / 10) return;
    ms = ms * 10 + (text[i] - '0');
  }
  if (ms > UINT32_MAX) return;
  cell->has_last_seen = true;
  cell->last_seen_ms = static_cast<uint32_t>(ms);
}

// Custom events carry "rsn_ie=" or "wpa_ie=" texts; the elements follow the
// seventh character, as hexadecimal text (most drivers) or as the bytes
// themselves.
int parse_custom(walk *w, bytes text) {
  static constexpr unsigned char kRsn[] = {'r', 's', 'n'};
  static constexpr unsigned char kWpa[] = {'w', 'p', 'a'};
  take_age(w->cell, text);
  ByteReader reader(text);
  std::span<const uint8_t> prefix;
  if (!reader.prefix(3).read_bytes(3, &prefix)) return 0;
  if (!std::ranges::equal(prefix, kRsn) && !std::ranges::equal(prefix, kWpa)) return 0;
  if (!reader.skip(7)) return 0;
  if (is_hex_text(reader.rest())) return parse_hex_elements(w, reader.rest());
  return parse_elements(w, reader.rest());
}

// The length of the run of whole events at the start of the buffer. libiw
// trusts each event's own length field, so an event that claims to run past
// the end is left out, as is everything after it.
size_t whole_events(bytes buffer) {
  ByteReader reader(buffer);
  size_t used = 0;
  for (;;) {
    uint16_t len;
    if (!ByteReader(reader).read_u16_host(&len)) break;
    if (len <= IW_EV_LCP_PK_LEN || !reader.skip(len)) break;
    used += len;
  }
  return used;
}

// libiw checks that an event's fixed part ends inside the stream, then reads
// on from there: for a fixed-size event whose length leaves 4 bytes over a
// multiple of its value (as a 64-bit kernel writes them for a 32-bit
// program) it copies the value again from 4 bytes further on, and after a
// pointer event's fixed part it reads a 16-bit length. Both stay below the
// event's start plus a header, those 4 bytes and the largest value (an
// iwreq_data), but may run past the end of the stream. Events that start
// that close to the end are walked in a copy followed by zeros.
constexpr size_t kReach = IW_EV_LCP_PK_LEN + 4 + sizeof(union iwreq_data);

// Moves the walk, from the event at stream->current on, into `tail`
// (2 * kReach zeroed bytes); the bytes now walked.
bytes move_to_tail(stream_descr *stream, unsigned char (&tail)[2 * kReach]) {
  auto rest = static_cast<size_t>(stream->end - stream->current);
  if (rest > 0) memcpy(tail, stream->current, rest);
  char *start = reinterpret_cast<char *>(tail);
  if (stream->value != nullptr) stream->value = start + (stream->value - stream->current);
  stream->current = start;
  stream->end = start + rest;
  return bytes(tail, rest);
}

// Applies one event of a cell that is taken: the figures to its record,
// the security reports to the batch in the order they come (an "off"
// among the elements' descriptors stays where it was reported); 0, or -1
// when out of memory.
int apply_event(walk *w, const iw_event &event, bytes buffer, const iw_range *range) {
  cell_record *cell = w->cell;
  switch (event.cmd) {
    case SIOCGIWFREQ: {
      iw_freq freq = event.u.freq;
      cell->has_channel = true;
      const double value = iw_freq2float(&freq);
      cell->channel = we_channel_of(value, range);
      // cfg80211 sends the channel number, then the frequency.
      if (const long mhz = we_mhz_of(value); mhz != 0)
        cell->frequency_mhz = static_cast<uint32_t>(mhz);
      return 0;
    }
    case SIOCGIWMODE:
      cell->mode = mode_of(event.u.mode);
      return 0;
    case SIOCGIWESSID: {
      // Any radio can send a longer SSID element, and cfg80211 passes its
      // length on: the event is ignored, as libiw drops those of 34 bytes
      // and more, and the cell stays listed.
      if (event.u.essid.length > IW_ESSID_MAX_SIZE) {
        cell->essid_oversized = true;
        return 0;
      }
      if (event.u.essid.pointer == nullptr || event.u.essid.length == 0) return 0;
      bytes essid = payload(event.u.essid, buffer);
      if (essid.empty()) return 0;
      bytes kept;
      return lasting(w, essid, false, &kept) && cell->set_essid(kept) ? 0 : -1;
    }
    case SIOCGIWENCODE:
      if (event.u.data.flags & IW_ENCODE_DISABLED) return w->batch->report(true, {});
      cell->privacy = true;
      return 0;
    case IWEVQUAL:
      take_signal(cell, event.u.qual, range);
      return 0;
    case IWEVCUSTOM:
      return parse_custom(w, payload(event.u.data, buffer));
    case IWEVGENIE:
      return parse_elements(w, payload(event.u.data, buffer));
    default:
      return 0;
  }
}

}  // namespace

int we_decode_scan(char *buffer, int length, const struct iw_range *range, cell_batch *batch) {
  if (buffer == nullptr || length <= 0) return -1;
  bytes whole(reinterpret_cast<const unsigned char *>(buffer), static_cast<size_t>(length));
  const size_t used = whole_events(whole);

  stream_descr stream;
  iw_init_event_stream(&stream, buffer, static_cast<int>(used));
  // What libiw walks, where payload pointers must lie: the whole events in
  // place, then the last ones in the zeroed tail.
  bytes walked = whole.first(used);
  unsigned char tail[2 * kReach] = {};
  // For streams of version 18 and below, libiw's fix-up of events written by
  // a 64-bit kernel for 32-bit programs copies 4 bytes past the end of the
  // event record; the slack keeps that write inside this object.
  struct {
    iw_event event;
    // cppcheck-suppress unusedStructMember ; written by libiw only
    unsigned char slack[16];
  } slot;
  iw_event &event = slot.event;
  walk w{batch, nullptr, {}, {}};
  for (;;) {
    if (walked.data() != tail && static_cast<size_t>(stream.end - stream.current) < kReach) {
      walked = move_to_tail(&stream, tail);
      w.tail = bytes(tail, sizeof tail);
    }
    if (iw_extract_event_stream(&stream, &event, range->we_version_compiled) <= 0) break;
    if (event.cmd == SIOCGIWAP) {
      unsigned char addr[6];
      memcpy(addr, event.u.ap_addr.sa_data, sizeof addr);
      if (batch->open(addr, &w.cell) < 0) return -1;
      w.seen.clear();
      continue;
    }
    if (w.cell == nullptr) continue;
    if (apply_event(&w, event, walked, range) != 0) return -1;
  }
  return 0;
}
