// SPDX-License-Identifier: MIT
// The decoding path as it was before each backend handed its cells over as
// records, kept for the differential fuzz targets only: the same includes,
// the body inside namespace old_path.
// Scan result events to network list entries.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>

#include "backend/flow.h"
#include "old_flow.h"
#include "old_quality.h"
#include "backend/ieee80211/byte_reader.h"
#include "backend/we/we.h"
#include "diag/diag.h"
#include "netlist/hexdigit.h"
#include "netlist/netlist.h"

namespace old_path {

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

void set_mode(network_entry *entry, uint32_t mode) {
  const char *text = "";
  if (mode == IW_MODE_ADHOC) text = "Ad-Hoc";
  if (mode == IW_MODE_INFRA || mode == IW_MODE_MASTER) text = "Master";
  snprintf(entry->mode, sizeof entry->mode, "%s", text);
}

// A record without a percentage leaves the entry's figure alone.
void set_event_quality(network_entry *entry, const iw_quality &event, const iw_range *range) {
  const link_quality qual{event.qual, event.level, event.noise, event.updated};
  if (!quality_usable(qual)) return;
  const quality_max max{range->max_qual.qual, range->max_qual.level, range->max_qual.noise};
  set_quality(entry, quality_percent(&qual, &max));
}

// Security elements already read for the open cell. Some drivers report an
// element twice, as hex text in a custom event and again in a generic element
// event; each element gives its descriptors once. Elements of the result are
// remembered where they lie, decoded ones as copies; past either bound an
// element is read without being remembered.
class SeenElements {
 public:
  void clear() {
    count_ = 0;
    used_ = 0;
  }
  bool contains(bytes element) const {
    for (size_t i = 0; i < count_; i++)
      if (std::ranges::equal(seen_[i], element)) return true;
    return false;
  }
  // element must stay valid for the rest of the walk.
  void remember(bytes element) {
    if (count_ < std::size(seen_)) seen_[count_++] = element;
  }
  void remember_copy(bytes element) {
    if (count_ == std::size(seen_) || element.size() > sizeof arena_ - used_) return;
    std::ranges::copy(element, arena_ + used_);
    remember(bytes(arena_ + used_, element.size()));
    used_ += element.size();
  }

 private:
  bytes seen_[32];
  size_t count_ = 0;
  unsigned char arena_[1024] = {};
  size_t used_ = 0;
};

constexpr uint8_t kIdRsn = 48;
constexpr uint8_t kIdVendor = 221;

// One element, possibly cut short by the end of its buffer (at least its two
// header bytes). copy: the bytes do not outlive this call.
int take_element(we_state *ctx, bytes element, SeenElements *seen, bool copy) {
  uint8_t id = 0;
  ByteReader(element).peek_u8(0, &id);
  bool security = id == kIdRsn || id == kIdVendor;
  if (security && seen->contains(element)) return 0;
  int result = parse_security_ies(ctx->entry, element.data(), static_cast<int>(element.size()),
                                  ctx->all_suites);
  if (security) {
    if (copy)
      seen->remember_copy(element);
    else
      seen->remember(element);
  }
  return result;
}

// Walks a buffer of elements; an element whose length runs past the end is
// read as far as it goes and ends the walk.
int parse_elements(we_state *ctx, bytes elements, SeenElements *seen) {
  ByteReader reader(elements);
  while (reader.remaining() >= 2) {
    const bytes start = reader.rest();
    uint8_t id;
    ByteReader body;
    const bool whole = reader.read_element(&id, &body);
    const bytes element = whole ? start.first(start.size() - reader.remaining()) : start;
    if (take_element(ctx, element, seen, false) != 0) return -1;
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
int parse_hex_elements(we_state *ctx, bytes text, SeenElements *seen) {
  ByteReader reader(text);
  for (;;) {
    unsigned char element[2 + 255];
    if (!read_hex_byte(&reader, &element[0]) || !read_hex_byte(&reader, &element[1])) break;
    size_t size = 2;
    const size_t want = static_cast<size_t>(element[1]) + 2;
    while (size < want && read_hex_byte(&reader, &element[size])) size++;
    if (take_element(ctx, bytes(element, size), seen, true) != 0) return -1;
    if (size < want) break;
  }
  return 0;
}

// Custom events carry "rsn_ie=" or "wpa_ie=" texts; the elements follow the
// seventh character, as hexadecimal text (most drivers) or as the bytes
// themselves.
int parse_custom(we_state *ctx, bytes text, SeenElements *seen) {
  static constexpr unsigned char kRsn[] = {'r', 's', 'n'};
  static constexpr unsigned char kWpa[] = {'w', 'p', 'a'};
  ByteReader reader(text);
  std::span<const uint8_t> prefix;
  if (!reader.prefix(3).read_bytes(3, &prefix)) return 0;
  if (!std::ranges::equal(prefix, kRsn) && !std::ranges::equal(prefix, kWpa)) return 0;
  if (!reader.skip(7)) return 0;
  if (is_hex_text(reader.rest())) return parse_hex_elements(ctx, reader.rest(), seen);
  return parse_elements(ctx, reader.rest(), seen);
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

// Opens the cell of an address event: a new entry, or skipping.
int open_cell(we_state *ctx, const iw_event &event) {
  we_state *we = ctx;
  unsigned char addr[6];
  memcpy(addr, event.u.ap_addr.sa_data, sizeof addr);
  bool failed = false;
  network_entry *entry =
      old_path::open_cell(addr, {we->ap_addr, we->ap_rate, we->directed != 0}, &failed);
  if (failed) return -1;
  we->skipping = entry == nullptr;
  if (entry != nullptr) we->entry = entry;
  return 0;
}

// Applies one event of an open cell to its entry; 0, or -1 to fail the walk.
// oversized: the cell's oversized ESSID is counted already.
int apply_event(we_state *ctx, const iw_event &event, bytes buffer, const iw_range *range,
                SeenElements *seen, bool *oversized) {
  network_entry *entry = ctx->entry;
  switch (event.cmd) {
    case SIOCGIWFREQ: {
      iw_freq freq = event.u.freq;
      entry->channel = we_channel_of(iw_freq2float(&freq), range);
      return 0;
    }
    case SIOCGIWMODE:
      set_mode(entry, event.u.mode);
      return 0;
    case SIOCGIWESSID: {
      // Any radio can send a longer SSID element, and cfg80211 passes its
      // length on: the event is ignored, as libiw drops those of 34 bytes
      // and more, and the cell stays listed.
      if (event.u.essid.length > IW_ESSID_MAX_SIZE) {
        if (!*oversized) ctx->counts->oversized++;
        *oversized = true;
        return 0;
      }
      if (event.u.essid.pointer == nullptr || event.u.essid.length == 0) return 0;
      bytes essid = payload(event.u.essid, buffer);
      if (essid.empty()) return 0;
      memcpy(entry->essid, essid.data(), essid.size());
      entry->essid_len = static_cast<uint32_t>(essid.size());
      return 0;
    }
    case SIOCGIWENCODE:
      if (event.u.data.flags & IW_ENCODE_DISABLED)
        add_descriptor(entry, "off");
      else
        entry->privacy = 1;
      return 0;
    case IWEVQUAL:
      set_event_quality(entry, event.u.qual, range);
      return 0;
    case IWEVCUSTOM:
      return parse_custom(ctx, payload(event.u.data, buffer), seen) != 0 ? -1 : 0;
    case IWEVGENIE:
      return parse_elements(ctx, payload(event.u.data, buffer), seen) != 0 ? -1 : 0;
    default:
      return 0;
  }
}

}  // namespace

int we_decode_scan(we_state *ctx, char *buffer, int length, const struct iw_range *range) {
  we_state *we = ctx;
  if (buffer == nullptr || length <= 0) return -1;
  bytes whole(reinterpret_cast<const unsigned char *>(buffer), static_cast<size_t>(length));
  const size_t used = whole_events(whole);

  stream_descr stream;
  iw_init_event_stream(&stream, buffer, static_cast<int>(used));
  // What libiw walks, where payload pointers must lie: the whole events in
  // place, then the last ones in the zeroed tail.
  bytes walked = whole.first(used);
  unsigned char tail[2 * kReach] = {};
  bool open = false;
  // For streams of version 18 and below, libiw's fix-up of events written by
  // a 64-bit kernel for 32-bit programs copies 4 bytes past the end of the
  // event record; the slack keeps that write inside this object.
  struct {
    iw_event event;
    // cppcheck-suppress unusedStructMember ; written by libiw only
    unsigned char slack[16];
  } slot;
  iw_event &event = slot.event;
  SeenElements seen;
  bool oversized = false;
  for (;;) {
    if (walked.data() != tail && static_cast<size_t>(stream.end - stream.current) < kReach)
      walked = move_to_tail(&stream, tail);
    if (iw_extract_event_stream(&stream, &event, range->we_version_compiled) <= 0) break;
    if (event.cmd == SIOCGIWAP) {
      if (open_cell(ctx, event) != 0) return -1;
      seen.clear();
      oversized = false;
      open = true;
      continue;
    }
    if (!open || we->skipping) continue;
    if (apply_event(ctx, event, walked, range, &seen, &oversized) != 0) return -1;
  }
  apply_wep_rule();
  return 0;
}

}  // namespace old_path
