// SPDX-License-Identifier: MIT
#include "backend/ieee80211/survey.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "backend/ieee80211/byte_reader.h"
#include "backend/ieee80211/channel_plan.h"
#include "backend/ieee80211/ieee80211.h"

namespace {

constexpr uint8_t kIdRates = 1;
constexpr uint8_t kIdCountry = 7;
constexpr uint8_t kIdBssLoad = 11;
constexpr uint8_t kIdHtCapabilities = 45;
constexpr uint8_t kIdRsn = 48;
constexpr uint8_t kIdExtendedRates = 50;
constexpr uint8_t kIdHtOperation = 61;
constexpr uint8_t kIdVhtCapabilities = 191;
constexpr uint8_t kIdVhtOperation = 192;
constexpr uint8_t kIdVendor = 221;
constexpr uint8_t kIdExtension = 255;
constexpr uint8_t kExtHeCapabilities = 35;
constexpr uint8_t kExtHeOperation = 36;
constexpr uint8_t kExtEhtOperation = 106;
constexpr uint8_t kExtEhtCapabilities = 108;

constexpr uint32_t kOuiIeee = 0x000FAC;
constexpr uint32_t kVendorWpa = 0x0050F201;  // OUI 00-50-F2, type 1
constexpr uint32_t kVendorWps = 0x0050F204;

// An element kept for after the walk: the first of its kind.
struct Element {
  bool seen = false;
  bool cut = false;  // its length ran past the buffer's end
  ByteReader body;
  void keep(ByteReader b, bool cut_short) {
    if (!seen) *this = {true, cut_short, b};
  }
};

struct Elements {
  bool rates = false;  // supported or extended rates
  bool ofdm = false;   // one of them an OFDM rate
  bool ht = false;     // capabilities or operation, of each generation
  bool vht = false;
  bool he = false;
  bool eht = false;
  Element ht_op, vht_op, he_op, eht_op, rsn, wpa;
};

// A channel as the operation elements give it: centre frequency segments as
// channel numbers (0: none), or the centre in MHz where no number says it.
struct Channel {
  uint16_t width = 0;
  int ccfs0 = 0;
  int ccfs1 = 0;  // 80+80 only: the second segment
  long centre_mhz = 0;
};

// What an element said about the channel.
enum class Says { nothing, malformed, channel };

bool is_ofdm_rate(uint8_t rate) {
  // In 500 kbit/s: 6, 9, 12, 18, 24, 36, 48 and 54 Mbit/s.
  constexpr uint8_t kOfdm[] = {12, 18, 24, 36, 48, 72, 96, 108};
  for (const uint8_t r : kOfdm)
    if ((rate & 0x7f) == r) return true;
  return false;
}

// Two segments: a second centre 8 channels from the first (the 80 MHz
// segment with the primary) is the 160 MHz channel's; further apart, 80+80
// MHz; otherwise the first segment alone is the channel, of the width given.
Channel segments(int ccfs0, int ccfs1, uint16_t width) {
  const int apart = abs(ccfs1 - ccfs0);
  if (ccfs1 != 0 && apart == 8) return {160, ccfs1, 0, 0};
  if (ccfs1 != 0 && apart > 16) return {160, ccfs0, ccfs1, 0};
  return {width, ccfs0, 0, 0};
}

// The VHT operation information (width, CCFS0, CCFS1) of a VHT operation
// element or an HE operation element; ccfs2: the HT operation's segment,
// which carries the 160 MHz centre where CCFS1 is 0 (extended NSS).
Says vht_channel(uint8_t width, uint8_t ccfs0, uint8_t ccfs1, uint8_t ccfs2, Channel *out) {
  switch (width) {
    case 0:  // 20 or 40 MHz, as the HT operation says
      return Says::nothing;
    case 1:
      *out = segments(ccfs0, ccfs1 != 0 ? ccfs1 : ccfs2, 80);
      return Says::channel;
    case 2:  // deprecated forms: 160 and 80+80 with the old meaning of the segments
      *out = {160, ccfs0, 0, 0};
      return Says::channel;
    case 3:
      *out = {160, ccfs0, ccfs1, 0};
      return Says::channel;
    default:
      return Says::malformed;
  }
}

// HT operation: 40 MHz where a secondary channel lies above or below and any
// width is allowed; its CCFS2 for the VHT operation.
Says ht_channel(ByteReader body, long primary_mhz, Channel *out, uint8_t *ccfs2) {
  uint8_t info;
  uint16_t info2;
  if (body.remaining() < 22 || !body.skip(1) || !body.read_u8(&info) || !body.read_u16_le(&info2))
    return Says::malformed;
  *ccfs2 = static_cast<uint8_t>(info2 >> 5);
  const int offset = info & 3;
  if ((info & 4) != 0 && (offset == 1 || offset == 3))
    *out = {40, 0, 0, primary_mhz != 0 ? primary_mhz + (offset == 1 ? 10 : -10) : 0};
  else
    *out = {20, 0, 0, primary_mhz};
  return Says::channel;
}

Says vht_op_channel(ByteReader body, uint8_t ccfs2, Channel *out) {
  uint8_t width;
  uint8_t ccfs0;
  uint8_t ccfs1;
  if (body.remaining() < 5 || !body.read_u8(&width) || !body.read_u8(&ccfs0) ||
      !body.read_u8(&ccfs1))
    return Says::malformed;
  return vht_channel(width, ccfs0, ccfs1, ccfs2, out);
}

// HE operation (after its extension id): parameters, BSS colour, basic
// HE-MCS set, then the optional parts its parameters announce.
Says he_channel(ByteReader body, uint8_t ccfs2, Channel *out) {
  uint8_t p[3];
  if (!body.read_u8(&p[0]) || !body.read_u8(&p[1]) || !body.read_u8(&p[2]) || !body.skip(3))
    return Says::malformed;
  const bool vht_info = (p[1] & 0x40) != 0;
  const bool cohosted = (p[1] & 0x80) != 0;
  const bool six_ghz = (p[2] & 0x02) != 0;
  uint8_t v[3] = {};
  if (vht_info && (!body.read_u8(&v[0]) || !body.read_u8(&v[1]) || !body.read_u8(&v[2])))
    return Says::malformed;
  if (cohosted && !body.skip(1)) return Says::malformed;
  if (six_ghz) {
    // Primary channel, control (width in bits 0-1), CCFS0, CCFS1, minimum rate.
    uint8_t control;
    uint8_t ccfs0;
    uint8_t ccfs1;
    if (!body.skip(1) || !body.read_u8(&control) || !body.read_u8(&ccfs0) ||
        !body.read_u8(&ccfs1) || !body.skip(1))
      return Says::malformed;
    const uint8_t width = control & 3;
    *out = width == 3 ? segments(ccfs0, ccfs1, 160)
                      : Channel{static_cast<uint16_t>(20 << width), ccfs0, 0, 0};
    return Says::channel;
  }
  return vht_info ? vht_channel(v[0], v[1], v[2], ccfs2, out) : Says::nothing;
}

// EHT operation (after its extension id): parameters, basic EHT-MCS set,
// then the operation information when its bit is set.
Says eht_channel(ByteReader body, long primary_mhz, Channel *out) {
  uint8_t params;
  if (!body.read_u8(&params) || !body.skip(4)) return Says::malformed;
  if ((params & 1) == 0) return Says::nothing;
  uint8_t control;
  uint8_t ccfs0;
  uint8_t ccfs1;
  if (!body.read_u8(&control) || !body.read_u8(&ccfs0) || !body.read_u8(&ccfs1) ||
      ((params & 2) != 0 && !body.skip(2)))
    return Says::malformed;
  switch (control & 7) {
    case 0:
      *out = {20, 0, 0, primary_mhz};
      return Says::channel;
    case 1:
    case 2:
      *out = {static_cast<uint16_t>(20 << (control & 7)), ccfs0, 0, 0};
      return Says::channel;
    case 3:  // CCFS1 the whole channel's centre, CCFS0 its half's with the primary
      *out = {160, ccfs1, 0, 0};
      return Says::channel;
    case 4:
      *out = {320, ccfs1, 0, 0};
      return Says::channel;
    default:
      return Says::malformed;
  }
}

// The newest element that describes the channel decides it; one that is
// malformed or cut short leaves it unknown. Without any, a cell that has
// rates is 20 MHz.
Channel cell_channel(const Elements &e, long primary_mhz) {
  const auto said = [](const Element &op, Says says) { return op.cut ? Says::malformed : says; };
  Channel c;
  uint8_t ccfs2 = 0;
  Says ht = Says::nothing;
  Channel ht_c;
  if (e.ht_op.seen) ht = said(e.ht_op, ht_channel(e.ht_op.body, primary_mhz, &ht_c, &ccfs2));
  Says says = Says::nothing;
  if (e.eht_op.seen) says = said(e.eht_op, eht_channel(e.eht_op.body, primary_mhz, &c));
  if (says == Says::nothing && e.he_op.seen)
    says = said(e.he_op, he_channel(e.he_op.body, ccfs2, &c));
  if (says == Says::nothing && e.vht_op.seen)
    says = said(e.vht_op, vht_op_channel(e.vht_op.body, ccfs2, &c));
  if (says == Says::nothing) {
    says = ht;
    c = ht_c;
  }
  if (says == Says::nothing && e.rates) return {20, 0, 0, primary_mhz};
  return says == Says::channel ? c : Channel{};
}

// Cipher suite types 0 to 10 of the IEEE OUI; WPA's OUI defines 0 to 5 alike.
// 0 (the group cipher used in pairs), 3, 6 and 7 are no cipher of either list.
constexpr survey_cipher kCiphers[] = {
    survey_cipher::unknown, survey_cipher::wep40,   survey_cipher::tkip,    survey_cipher::unknown,
    survey_cipher::ccmp,    survey_cipher::wep104,  survey_cipher::unknown, survey_cipher::unknown,
    survey_cipher::gcmp,    survey_cipher::gcmp256, survey_cipher::ccmp256,
};
constexpr size_t kWpaCiphers = 6;

survey_cipher cipher_of(uint32_t element_oui, uint32_t selector) {
  const size_t type = selector & 0xff;
  const size_t known = element_oui == kOuiIeee ? std::size(kCiphers) : kWpaCiphers;
  return selector >> 8 == element_oui && type < known ? kCiphers[type] : survey_cipher::unknown;
}

void add_akm(cell_survey *out, const char *name) {
  for (int i = 0; i < out->akm_count; ++i)
    if (strcmp(out->akm[i], name) == 0) return;
  if (out->akm_count < kSurveyAkms)
    snprintf(out->akm[out->akm_count++], kSurveyAkmSize, "%s", name);
}

constexpr uint16_t bit(survey_cipher c) { return static_cast<uint16_t>(1u << static_cast<int>(c)); }

enum class Field { whole, absent, cut };

// The next field of an RSN or WPA element, index: 0 version, 1 group cipher,
// 2 pairwise list, 3 AKM list, 4 capabilities. A list's bytes are its
// selectors.
Field next_field(ByteReader *body, int index, std::span<const uint8_t> *out) {
  if (body->empty()) return Field::absent;
  size_t size = index == 1 ? 4 : 2;
  if (index == 2 || index == 3) {
    uint16_t count;
    if (!body->read_u16_le(&count)) return Field::cut;
    size = 4 * static_cast<size_t>(count);
  }
  return body->read_bytes(size, out) ? Field::whole : Field::cut;
}

// An RSN or WPA element's body (the WPA one after its vendor header). Its
// fields are optional from the end (the version aside): those after a whole
// one that ends the element are not given, and the capabilities' bits then
// 0 (PMF "no"). A field cut short is "unknown", and so is every one after it.
void parse_key_element(const Element &element, bool wpa, cell_survey *out, survey_cipher *group,
                       survey_pmf *pmf) {
  ByteReader body = element.body;
  const uint32_t oui = wpa ? 0x0050F2 : kOuiIeee;
  int index = 0;
  Field f = Field::whole;
  std::span<const uint8_t> bytes;
  while (index < 5 && (f = next_field(&body, index, &bytes)) == Field::whole) {
    ByteReader r(bytes);
    uint32_t selector = 0;
    uint16_t caps = 0;
    switch (index++) {
      case 1:
        r.read_u32_be(&selector);
        *group = (selector & 0xff) != 0 ? cipher_of(oui, selector) : survey_cipher::unknown;
        break;
      case 2:
        while (r.read_u32_be(&selector))
          if (selector != oui << 8) out->pairwise |= bit(cipher_of(oui, selector));
        break;
      case 3:
        while (r.read_u32_be(&selector)) {
          char name[kSurveyAkmSize];
          format_akm_suite(wpa, selector, name, sizeof name);
          add_akm(out, name);
        }
        break;
      case 4:
        r.read_u16_le(&caps);
        *pmf = (caps & 0x40) != 0   ? survey_pmf::required
               : (caps & 0x80) != 0 ? survey_pmf::capable
                                    : survey_pmf::no;
        break;
      default:
        break;
    }
  }
  if (index == 5) return;
  if (f == Field::absent && index > 0 && !element.cut) {
    *pmf = survey_pmf::no;
    return;
  }
  if (index <= 1) *group = survey_cipher::unknown;
  if (index <= 2) out->pairwise |= bit(survey_cipher::unknown);
  if (index <= 3) add_akm(out, "unknown");
}

void walk(ByteReader r, Elements *e, cell_survey *out) {
  while (r.remaining() >= 2) {
    uint8_t id = 0;
    ByteReader body;
    const bool cut = !r.read_element(&id, &body);
    if (cut) {
      // A last element cut short is read as far as it goes.
      r.read_u8(&id);
      r.skip(1);
      body = r;
      r = ByteReader();
    }
    switch (id) {
      case kIdRates:
      case kIdExtendedRates:
        e->rates = true;
        for (uint8_t rate; body.read_u8(&rate);) e->ofdm = e->ofdm || is_ofdm_rate(rate);
        break;
      case kIdCountry: {
        const auto printable = [](uint8_t c) { return c > 0x20 && c < 0x7f; };
        uint8_t a;
        uint8_t b;
        if (out->country[0] == '\0' && body.read_u8(&a) && body.read_u8(&b) && printable(a) &&
            printable(b)) {
          out->country[0] = static_cast<char>(a);
          out->country[1] = static_cast<char>(b);
        }
        break;
      }
      case kIdBssLoad: {
        uint16_t stations;
        uint8_t utilization;
        if (!out->bss_load && body.remaining() >= 5 && body.read_u16_le(&stations) &&
            body.read_u8(&utilization)) {
          out->bss_load = true;
          out->stations = stations;
          out->utilization = utilization;
          out->utilization_pct = static_cast<uint8_t>((utilization * 100 + 127) / 255);
        }
        break;
      }
      case kIdHtCapabilities:
        e->ht = true;
        break;
      case kIdHtOperation:
        e->ht = true;
        e->ht_op.keep(body, cut);
        break;
      case kIdVhtCapabilities:
        e->vht = true;
        break;
      case kIdVhtOperation:
        e->vht = true;
        e->vht_op.keep(body, cut);
        break;
      case kIdRsn:
        e->rsn.keep(body, cut);
        break;
      case kIdVendor: {
        uint32_t header;
        if (!body.read_u32_be(&header)) break;
        if (header == kVendorWps) out->wps = true;
        if (header == kVendorWpa) e->wpa.keep(body, cut);
        break;
      }
      case kIdExtension: {
        uint8_t ext;
        if (!body.read_u8(&ext)) break;
        if (ext == kExtHeCapabilities || ext == kExtHeOperation) e->he = true;
        if (ext == kExtEhtCapabilities || ext == kExtEhtOperation) e->eht = true;
        if (ext == kExtHeOperation) e->he_op.keep(body, cut);
        if (ext == kExtEhtOperation) e->eht_op.keep(body, cut);
        break;
      }
      default:
        break;
    }
  }
}

survey_standard standard_of(const Elements &e, long primary_mhz) {
  if (e.eht) return survey_standard::be;
  if (e.he) return survey_standard::ax;
  if (e.vht) return survey_standard::ac;
  if (e.ht) return survey_standard::n;
  const char *band = band_of_mhz(primary_mhz);
  if (!e.rates || band == nullptr) return survey_standard::none;
  if (band[0] == '5' || band[0] == '6') return survey_standard::a;
  if (band[0] == '2') return e.ofdm ? survey_standard::g : survey_standard::b;
  return survey_standard::none;
}

}  // namespace

int survey_parse(std::span<const uint8_t> ies, long primary_mhz, cell_survey *out) {
  if (out == nullptr) return -1;
  memset(out, 0, sizeof *out);  // padding too: records compare whole
  Elements e;
  walk(ByteReader(ies), &e, out);
  out->standard = standard_of(e, primary_mhz);

  const Channel c = cell_channel(e, primary_mhz);
  out->width_mhz = c.width;
  if (c.width != 0 && primary_mhz > 0) {
    long centre = c.centre_mhz;
    if (c.ccfs0 != 0) centre = channel_centre_mhz(c.ccfs0, primary_mhz);
    // A centre whose channel leaves out the primary is no centre of this cell's.
    const long half = c.ccfs1 != 0 ? 40 : c.width / 2;
    if (centre > 0 && labs(centre - primary_mhz) < half) {
      out->center_mhz = static_cast<uint32_t>(centre);
      if (c.ccfs1 != 0)
        out->center2_mhz = static_cast<uint32_t>(channel_centre_mhz(c.ccfs1, primary_mhz));
    }
  }

  survey_cipher rsn_group = survey_cipher::none;
  survey_cipher wpa_group = survey_cipher::none;
  survey_pmf rsn_pmf = survey_pmf::none;
  survey_pmf wpa_pmf = survey_pmf::none;
  out->rsn = e.rsn.seen;
  out->wpa = e.wpa.seen;
  if (e.rsn.seen) parse_key_element(e.rsn, false, out, &rsn_group, &rsn_pmf);
  if (e.wpa.seen) parse_key_element(e.wpa, true, out, &wpa_group, &wpa_pmf);
  out->group = rsn_group != survey_cipher::none ? rsn_group : wpa_group;
  // WPA has no management frame protection.
  out->pmf = e.rsn.seen ? rsn_pmf : e.wpa.seen ? survey_pmf::no : survey_pmf::none;
  return 0;
}

const char *survey_standard_name(survey_standard standard) {
  static constexpr char kNames[][3] = {"", "a", "b", "g", "n", "ac", "ax", "be"};
  const auto i = static_cast<size_t>(standard);
  return i > 0 && i < std::size(kNames) ? kNames[i] : nullptr;
}

const char *survey_cipher_name(survey_cipher cipher) {
  static constexpr char kNames[][9] = {"",     "unknown", "WEP-40",   "WEP-104", "TKIP",
                                       "CCMP", "GCMP",    "CCMP-256", "GCMP-256"};
  const auto i = static_cast<size_t>(cipher);
  return i > 0 && i < std::size(kNames) ? kNames[i] : nullptr;
}

const char *survey_pmf_name(survey_pmf pmf) {
  static constexpr char kNames[][9] = {"", "no", "capable", "required"};
  const auto i = static_cast<size_t>(pmf);
  return i > 0 && i < std::size(kNames) ? kNames[i] : nullptr;
}

int survey_pairwise_names(uint16_t pairwise, const char **names, int n) {
  int count = 0;
  for (size_t c = 0; c < 16; ++c) {
    const char *name = (pairwise >> c) & 1 ? survey_cipher_name(static_cast<survey_cipher>(c))
                                           : nullptr;
    if (name != nullptr && count < n && names != nullptr) names[count] = name;
    count += name != nullptr;
  }
  return count;
}
