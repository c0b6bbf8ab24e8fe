// SPDX-License-Identifier: MIT
#include "backend/ieee80211/survey.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "backend/ieee80211/byte_reader.h"
#include "backend/ieee80211/channel_plan.h"
#include "backend/ieee80211/ieee80211.h"

namespace {

using bytes = std::span<const uint8_t>;

// The elements kept for after the walk, the first of each kind; the
// operation elements in rising generation.
enum Kept : uint8_t { kHtOp, kVhtOp, kHeOp, kEhtOp, kRsn, kWpa, kKept, kNotKept = kKept };
// What an element shows: the generations whose capabilities or operation
// it is (bit 1 << generation, n first), rates, WPS.
enum Mark : uint8_t { kHt = 1, kVht = 2, kHe = 4, kEht = 8, kRates = 16, kWps = 32 };

struct Known {
  uint8_t id;
  uint8_t sub;  // the extension id of element 255, the type of 221 of OUI 00-50-F2
  uint8_t mark;
  uint8_t kept;
};
// clang-format off
constexpr Known kKnown[] = {
    {1, 0, kRates, kNotKept}, {50, 0, kRates, kNotKept},  // supported and extended rates
    {45, 0, kHt, kNotKept}, {61, 0, kHt, kHtOp}, {191, 0, kVht, kNotKept}, {192, 0, kVht, kVhtOp},
    {255, 35, kHe, kNotKept}, {255, 36, kHe, kHeOp}, {255, 106, kEht, kEhtOp},
    {255, 108, kEht, kNotKept}, {48, 0, 0, kRsn}, {221, 1, 0, kWpa}, {221, 4, kWps, kNotKept},
};
// clang-format on

// In 500 kbit/s: 6, 9, 12, 18, 24, 36, 48 and 54 Mbit/s.
constexpr uint8_t kOfdm[] = {12, 18, 24, 36, 48, 72, 96, 108};

struct Walk {
  ByteReader body[kKept];
  uint8_t seen = 0;  // bit 1 << Kept
  uint8_t cut = 0;   // of those, the ones whose length ran past the buffer
  uint8_t marks = 0;
  bool ofdm = false;
  bool has(int kept) const { return (seen >> kept & 1) != 0; }
};

void walk(ByteReader r, Walk *w, network_survey *out) {
  while (r.remaining() >= 2) {
    uint8_t id = 0;
    uint8_t length = 0;
    r.read_u8(&id);
    r.read_u8(&length);
    // A last element cut short is read as far as it goes.
    ByteReader body = r.prefix(length);
    const bool cut = !r.skip(length);
    if (cut) r = ByteReader();
    uint8_t sub = 0;
    uint32_t vendor;
    if (id == 255) body.read_u8(&sub);
    if (id == 221 && body.read_u32_be(&vendor))
      sub = vendor >> 8 == 0x0050F2 ? static_cast<uint8_t>(vendor) : 0;
    for (const Known &k : kKnown) {
      if (k.id != id || k.sub != sub) continue;
      w->marks |= k.mark;
      if (k.kept == kNotKept || w->has(k.kept)) continue;
      w->body[k.kept] = body;
      w->seen |= 1 << k.kept;
      w->cut |= cut << k.kept;
    }
    bytes b;
    if (id == 1 || id == 50)
      for (uint8_t rate; body.read_u8(&rate);)
        w->ofdm = w->ofdm || memchr(kOfdm, rate & 0x7f, sizeof kOfdm) != nullptr;
    // The first Country element of a printable code, the first whole BSS Load.
    if (id == 7 && out->country[0] == '\0' && body.read_bytes(2, &b) && b[0] > 0x20 &&
        b[0] < 0x7f && b[1] > 0x20 && b[1] < 0x7f)
      memcpy(out->country, b.data(), 2);
    if (id == 11 && (out->given >> kSurveyLoad & 1) == 0 && body.read_bytes(5, &b)) {
      survey_set(out, kSurveyLoad, 1);
      survey_set(out, kSurveyStations, b[0] | b[1] << 8);
      survey_set(out, kSurveyUtilization, (b[2] * 100 + 127) / 255);
    }
  }
}

// A channel as an operation element gives it: its width, and its centre
// as a channel number of the primary's band (c0; c1 a second segment's, or
// the 160 MHz channel's beside its 80 MHz half) or else in MHz.
struct Channel {
  int width;
  int c0;
  int c1;
  long centre_mhz;
};

// What an operation element of kind says of the channel: 1 the channel, 0
// nothing, -1 malformed. The HT operation leaves its CCFS2 in *ccfs2.
int op_channel(int kind, ByteReader body, long primary_mhz, uint8_t *ccfs2, Channel *c) {
  bytes p;
  bytes v;
  bytes o;
  switch (kind) {
    case kHtOp: {
      // 40 MHz where a secondary channel lies above or below and any width
      // is allowed.
      if (!body.read_bytes(22, &p)) return -1;
      *ccfs2 = static_cast<uint8_t>((p[2] | p[3] << 8) >> 5);
      const int offset = p[1] & 3;
      const bool wide = (p[1] & 4) != 0 && (offset == 1 || offset == 3);
      *c = {wide ? 40 : 20, 0, 0, primary_mhz + (wide ? (offset == 1 ? 10 : -10) : 0)};
      return 1;
    }
    case kVhtOp:
      if (!body.read_bytes(5, &v)) return -1;
      break;
    case kHeOp:
      // Parameters, BSS colour, basic HE-MCS set, then the optional parts
      // the parameters announce: VHT information, co-hosted BSS, 6 GHz
      // information (primary, control with the width, CCFS0, CCFS1, rate).
      if (!body.read_bytes(6, &p) || ((p[1] & 0x40) != 0 && !body.read_bytes(3, &v)) ||
          ((p[1] & 0x80) != 0 && !body.skip(1)) || ((p[2] & 2) != 0 && !body.read_bytes(5, &o)))
        return -1;
      if ((p[2] & 2) != 0) {
        *c = {20 << (o[1] & 3), o[2], (o[1] & 3) == 3 ? o[3] : 0, 0};
        return 1;
      }
      if ((p[1] & 0x40) == 0) return 0;
      break;
    default:
      // EHT: parameters, basic EHT-MCS set, then the operation information
      // (control, CCFS0, CCFS1, a disabled-subchannel bitmap) when announced;
      // CCFS1 the centre of 160 and 320 MHz, CCFS0 of their half.
      if (!body.read_bytes(5, &p)) return -1;
      if ((p[0] & 1) == 0) return 0;
      if (!body.read_bytes((p[0] & 2) != 0 ? 5 : 3, &o) || (o[0] & 7) > 4) return -1;
      *c = {20 << (o[0] & 7), (o[0] & 7) < 3 ? o[1] : o[2], 0, 0};
      return 1;
  }
  // The VHT operation information (width, CCFS0, CCFS1) of a VHT or HE
  // operation element; CCFS2, the HT operation's segment, carries the 160 MHz
  // centre where CCFS1 is 0 (extended NSS). 2 and 3 are the deprecated 160
  // and 80+80 MHz; 0 says nothing (the HT operation decides).
  if (v[0] == 0 || v[0] > 3) return v[0] == 0 ? 0 : -1;
  *c = {v[0] == 1 ? 80 : 160, v[1], v[0] == 2 ? 0 : v[0] == 1 && v[2] == 0 ? *ccfs2 : v[2], 0};
  return 1;
}

// The newest element that describes the channel decides it; one that is
// malformed or cut short leaves it unknown. Two segments: a second centre
// 8 channels from the first (the 80 MHz segment with the primary) is the
// 160 MHz channel's; further apart, 80+80 MHz, centred on the first.
void put_channel(const Walk &w, long primary_mhz, network_survey *out) {
  Channel c{};
  int says = 0;
  uint8_t ccfs2 = 0;
  for (int kind = kHtOp; kind <= kEhtOp; ++kind) {
    Channel k{};
    const int said = !w.has(kind) ? 0
                     : (w.cut >> kind & 1)
                         ? -1
                         : op_channel(kind, w.body[kind], primary_mhz, &ccfs2, &k);
    if (said != 0) says = said, c = k;
  }
  if (says == 0 && (w.marks & kRates) != 0) says = 1, c = {20, 0, 0, primary_mhz};
  if (says != 1) return;
  const int apart = abs(c.c1 - c.c0);
  if (c.c1 != 0 && apart == 8) c.c0 = c.c1;
  const bool split = c.c1 != 0 && apart > 16;
  if (c.c1 != 0 && (apart == 8 || split)) c.width = 160;
  survey_set(out, kSurveyWidth, c.width);
  if (primary_mhz <= 0) return;
  // A segment's number counts 5 MHz steps in the primary channel's band.
  const int primary = channel_of_mhz(primary_mhz);
  const long centre = c.c0 == 0     ? c.centre_mhz
                      : primary > 0 ? primary_mhz + 5L * (c.c0 - primary)
                                    : 0;
  if (centre > 0 && labs(centre - primary_mhz) < (split ? 40 : c.width / 2))
    survey_set(out, kSurveyCenter, centre);
}

// The standards: the generations' as Mark has them, then a, b and g.
constexpr char kStandards[][3] = {"n", "ac", "ax", "be", "a", "b", "g"};

const char *standard_of(const Walk &w, long primary_mhz) {
  const int generations = w.marks & (kHt | kVht | kHe | kEht);
  if (generations != 0) return kStandards[std::bit_width(static_cast<unsigned>(generations)) - 1];
  // Rates alone: a in the bands from 5 GHz up, b or g in the 2.4 GHz band.
  if ((w.marks & kRates) == 0 || band_of_mhz(primary_mhz) == nullptr) return nullptr;
  if (primary_mhz > 4000) return kStandards[4];
  return w.ofdm ? kStandards[6] : kStandards[5];
}

constexpr uint32_t kOuiIeee = 0x000FAC;

// Ciphers by index: a bit of the pairwise set each.
constexpr char kCiphers[][9] = {"unknown", "WEP-40", "WEP-104",  "TKIP",
                                "CCMP",    "GCMP",   "CCMP-256", "GCMP-256"};
// The cipher of suite types 0 to 10 of the IEEE OUI; WPA's OUI defines 0 to
// 5 alike. 0 (the group cipher used in pairs), 3, 6 and 7 are no cipher of
// either list.
constexpr uint8_t kCipherOfType[] = {0, 1, 3, 0, 4, 2, 0, 0, 5, 7, 6};
constexpr char kPmf[][9] = {"no", "capable", "required"};

int cipher_of(uint32_t oui, uint32_t selector) {
  const uint32_t type = selector & 0xff;
  return selector >> 8 == oui && type < (oui == kOuiIeee ? sizeof kCipherOfType : 6)
             ? kCipherOfType[type]
             : 0;
}

// Adds name and a space to a list of names unless it holds the name; a
// name that does not fit is left out.
void add_name(char *list, size_t size, const char *name) {
  const size_t len = strlen(name);
  for (const char *p = list; *p != '\0'; p = strchr(p, ' ') + 1)
    if (strncmp(p, name, len) == 0 && p[len] == ' ') return;
  const size_t used = strlen(list);
  if (used + len + 1 >= size) return;
  memcpy(list + used, name, len);
  list[used + len] = ' ';
  list[used + len + 1] = '\0';
}

// An RSN or WPA element's body (the WPA one after its vendor header):
// version, group cipher, pairwise list, AKM list, capabilities, optional
// from the end. The group cipher is the first element's that gives one, the
// PMF the RSN element's.
void read_keys(ByteReader body, bool cut, bool wpa, network_survey *out) {
  const uint32_t oui = wpa ? 0x0050F2 : kOuiIeee;
  const char *group = nullptr;
  const char *pmf = nullptr;
  int field = 0;  // the fields read whole
  for (; field < 5 && !body.empty(); ++field) {
    // A list is its count and 4 bytes each; a field that fails leaves the
    // body where it was, so that an empty one after the loop was whole.
    const bool list = field == 2 || field == 3;
    size_t size = field == 1 ? 4 : 2;
    uint16_t count;
    if (list && ByteReader(body).read_u16_le(&count)) size += 4 * size_t{count};
    bytes b;
    if (!body.read_bytes(size, &b)) break;
    ByteReader r(b.subspan(list ? 2 : 0));
    for (uint32_t selector; field > 0 && field < 4 && r.read_u32_be(&selector);) {
      char name[8];
      const char *text = kCiphers[(selector & 0xff) != 0 ? cipher_of(oui, selector) : 0];
      if (field == 3) format_akm_suite(wpa, selector, name, sizeof name), text = name;
      // A pairwise suite of type 0 of the element's OUI: the group cipher used in pairs.
      if (field == 1)
        group = text;
      else if (field == 3 || selector != oui << 8)
        add_name(field == 2 ? out->pairwise : out->akm,
                 field == 2 ? kSurveyPairwiseSize : kSurveyAkmSize, text);
    }
    if (field == 4) pmf = kPmf[(b[0] & 0x40) != 0 ? 2 : (b[0] & 0x80) != 0 ? 1 : 0];
  }
  if (field < 5 && (!body.empty() || field == 0 || cut)) {
    // Cut short: that field and every later one unknown.
    if (field <= 1) group = kCiphers[0];
    if (field <= 2) add_name(out->pairwise, sizeof out->pairwise, kCiphers[0]);
    if (field <= 3) add_name(out->akm, sizeof out->akm, kCiphers[0]);
  } else if (field < 5) {
    pmf = kPmf[0];
  }
  if (out->name[kSurveyGroup] == nullptr) out->name[kSurveyGroup] = group;
  if (!wpa) out->name[kSurveyPmf] = pmf;
}

}  // namespace

void survey_parse(std::span<const bytes> reports, long primary_mhz, network_survey *out) {
  Walk w;
  bool elements = false;
  for (const bytes &report : reports) {
    elements = elements || !report.empty();
    walk(ByteReader(report), &w, out);
  }
  if (!elements) return;
  survey_set(out, kSurveyWps, (w.marks & kWps) != 0);
  out->name[kSurveyStandard] = standard_of(w, primary_mhz);
  put_channel(w, primary_mhz, out);
  if (!w.has(kRsn) && !w.has(kWpa)) return;
  survey_set(out, kSurveyKeys, 1);
  // WPA has no management frame protection.
  if (!w.has(kRsn)) out->name[kSurveyPmf] = kPmf[0];
  for (int kind = kRsn; kind <= kWpa; ++kind)
    if (w.has(kind)) read_keys(w.body[kind], (w.cut >> kind & 1) != 0, kind == kWpa, out);
}
