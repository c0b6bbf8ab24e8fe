// SPDX-License-Identifier: MIT
// Scan events and their stream encoding, as the kernel's iwe_stream_add_*
// helpers write them on a 64-bit machine.
#include <cctype>
#include <cstddef>
#include <cstring>

#include "fakewext.h"

namespace fakewext {

namespace {

// The kernel's header types of the events, by value layout.
enum class Header { none, addr, freq, uint, point, param, qual, chars };

Header header_of(uint16_t cmd) {
  switch (cmd) {
    case SIOCGIWAP:
      return Header::addr;
    case SIOCGIWFREQ:
      return Header::freq;
    case SIOCGIWMODE:
      return Header::uint;
    case SIOCGIWESSID:
    case SIOCGIWENCODE:
    case SIOCGIWNICKN:
    case IWEVCUSTOM:
    case IWEVGENIE:
      return Header::point;
    case SIOCGIWRATE:
      return Header::param;
    case IWEVQUAL:
      return Header::qual;
    case SIOCGIWNAME:
      return Header::chars;
    default:
      return Header::none;
  }
}

size_t value_size(Header h) {
  switch (h) {
    case Header::addr:
      return sizeof(sockaddr);
    case Header::freq:
      return sizeof(iw_freq);
    case Header::uint:
      return sizeof(uint32_t);
    case Header::param:
      return sizeof(iw_param);
    case Header::qual:
      return sizeof(iw_quality);
    case Header::chars:
      return IFNAMSIZ;
    case Header::point:
    case Header::none:
      break;
  }
  return 0;
}

Event point(uint16_t cmd, const uint8_t *data, size_t len, uint16_t flags) {
  Event e;
  e.cmd = cmd;
  e.extra.assign(data, data + len);
  e.u.data.length = static_cast<uint16_t>(len);
  e.u.data.flags = flags;
  return e;
}

void put(Bytes &out, const void *p, size_t n) {
  const auto *b = static_cast<const uint8_t *>(p);
  out.insert(out.end(), b, b + n);
}

// The first IW_EV_LCP_LEN bytes: len, cmd and the padding that the kernel
// copies from its zeroed iw_event.
void put_header(Bytes &out, size_t len, uint16_t cmd) {
  iw_event head;
  memset(&head, 0, sizeof head);
  head.len = static_cast<uint16_t>(len);
  head.cmd = cmd;
  put(out, &head, IW_EV_LCP_LEN);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parse_hex(std::string_view text, Bytes &out) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (c == ':' || c == ' ' || c == '-') continue;
    int d = hex_digit(c);
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) return false;
  out = std::move(bytes);
  return true;
}

bool parse_mac(std::string_view text, uint8_t (&mac)[6]) {
  Bytes b;
  if (!parse_hex(text, b) || b.size() != 6) return false;
  memcpy(mac, b.data(), 6);
  return true;
}

iw_freq freq_of_mhz(int mhz) {
  iw_freq f{};
  f.m = mhz * 100000;
  f.e = 1;
  return f;
}

namespace ev {

Event ap(const uint8_t (&mac)[6]) {
  Event e;
  e.cmd = SIOCGIWAP;
  e.u.ap_addr.sa_family = ARPHRD_ETHER;
  memcpy(e.u.ap_addr.sa_data, mac, 6);
  return e;
}

Event ap(std::string_view text) {
  uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
  if (!parse_mac(text, mac)) abort();  // a typo in a test's scenario
  return ap(mac);
}

Event freq_raw(int32_t m, int16_t e) {
  Event ev;
  ev.cmd = SIOCGIWFREQ;
  ev.u.freq.m = m;
  ev.u.freq.e = e;
  return ev;
}

Event freq_mhz(int mhz) { return freq_raw(mhz, 6); }
Event channel(int number) { return freq_raw(number, 0); }

Event mode(uint32_t m) {
  Event e;
  e.cmd = SIOCGIWMODE;
  e.u.mode = m;
  return e;
}

Event essid(std::string_view bytes, uint16_t flags) {
  return point(SIOCGIWESSID, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), flags);
}

Event encode(uint16_t flags) { return point(SIOCGIWENCODE, nullptr, 0, flags); }
Event encode_on() { return encode(IW_ENCODE_ENABLED | IW_ENCODE_NOKEY); }
Event encode_off() { return encode(IW_ENCODE_DISABLED); }

Event qual(uint8_t q, uint8_t level, uint8_t noise, uint8_t updated) {
  Event e;
  e.cmd = IWEVQUAL;
  e.u.qual.qual = q;
  e.u.qual.level = level;
  e.u.qual.noise = noise;
  e.u.qual.updated = updated;
  return e;
}

Event genie(const Bytes &ies) { return point(IWEVGENIE, ies.data(), ies.size(), 0); }

Event custom(std::string_view text) {
  return point(IWEVCUSTOM, reinterpret_cast<const uint8_t *>(text.data()), text.size(), 0);
}

Event rate(int32_t bps) { return rates({bps}); }

Event rates(const std::vector<int32_t> &bps) {
  // Several values share one event; keep them as the raw value run.
  Event e;
  e.cmd = SIOCGIWRATE;
  Bytes values;
  for (int32_t v : bps) {
    iw_param p{};
    p.value = v;
    put(values, &p, sizeof p);
  }
  if (bps.size() == 1) {
    e.u.bitrate.value = bps[0];
  } else {
    e.raw = std::move(values);
  }
  return e;
}

Event raw(uint16_t cmd, const Bytes &after_header) {
  Event e;
  e.cmd = cmd;
  e.raw = after_header;
  return e;
}

}  // namespace ev

Bytes encode_events(const std::vector<Event> &events, int we_version) {
  Bytes out;
  for (const Event &e : events) {
    if (e.raw) {
      put_header(out, IW_EV_LCP_LEN + e.raw->size(), e.cmd);
      put(out, e.raw->data(), e.raw->size());
      continue;
    }
    Header h = header_of(e.cmd);
    if (h == Header::point) {
      if (we_version <= 18) {
        // Whole iw_point, pointer included (zero), then the payload.
        iw_point p{};
        p.length = e.u.data.length;
        p.flags = e.u.data.flags;
        put_header(out, IW_EV_LCP_LEN + sizeof p + e.extra.size(), e.cmd);
        put(out, &p, sizeof p);
      } else {
        // Length and flags at IW_EV_LCP_LEN, payload at IW_EV_POINT_LEN; the
        // bytes between are left zero, as in the kernel's zeroed buffer.
        // IW_EV_POINT_LEN, without the header macro's null-pointer arithmetic.
        size_t point_len = IW_EV_LCP_LEN + sizeof(iw_point) - offsetof(iw_point, length);
        put_header(out, point_len + e.extra.size(), e.cmd);
        put(out, &e.u.data.length, sizeof e.u.data.length);
        put(out, &e.u.data.flags, sizeof e.u.data.flags);
        out.resize(out.size() + point_len - IW_EV_LCP_LEN - 4, 0);
      }
      put(out, e.extra.data(), e.extra.size());
      continue;
    }
    size_t n = value_size(h);
    put_header(out, IW_EV_LCP_LEN + n, e.cmd);
    put(out, &e.u, n);
  }
  return out;
}

Bytes encode_scan(const std::vector<Cell> &cells, int we_version) {
  Bytes out;
  for (const Cell &c : cells) {
    Bytes b = encode_events(c, we_version);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

FetchStep fetch::results() { return FetchStep{}; }

FetchStep fetch::results(std::vector<Cell> cells) {
  FetchStep s;
  s.cells = std::move(cells);
  return s;
}

FetchStep fetch::bytes(Bytes stream) {
  FetchStep s;
  s.bytes = std::move(stream);
  return s;
}

FetchStep fetch::not_ready(int times) {
  FetchStep s;
  s.kind = FetchStep::Kind::not_ready;
  s.count = times;
  return s;
}

FetchStep fetch::too_big(uint16_t reported) {
  FetchStep s;
  s.kind = FetchStep::Kind::too_big;
  s.reported = reported;
  return s;
}

FetchStep fetch::error(int err) {
  FetchStep s;
  s.kind = FetchStep::Kind::error;
  s.error = err;
  return s;
}

FetchStep fetch::empty() {
  FetchStep s;
  s.kind = FetchStep::Kind::empty;
  return s;
}

}  // namespace fakewext
