// SPDX-License-Identifier: MIT
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "backend/backend.h"
#include "backend/ieee80211/byte_reader.h"
#include "backend/ieee80211/ieee80211.h"
#include "netlist/netlist.h"

// The descriptors each element gives (which slot texts, "unknown" for which
// faults, the WPS attribute search and what it misses) are kept as they are:
// the consumer of the network line and stored cache files read them.

namespace {

constexpr size_t kSlotSize = kSecuritySlotSize;  // text + NUL

constexpr uint8_t kIdRsn = 48;
constexpr uint8_t kIdVendor = 221;
constexpr int kKindWpa = 1;
constexpr int kKindRsn = 2;

// Suite selectors and the vendor header read as one big-endian number: the
// OUI in the upper three bytes, the type in the lowest.
constexpr uint32_t kOuiNone = 0x000000;
constexpr uint32_t kOuiIeee = 0x000FAC;
constexpr uint32_t kOuiMicrosoft = 0x0050F2;
constexpr uint8_t kOuiTypeWps = 4;
constexpr uint32_t oui_of(uint32_t selector) { return selector >> 8; }
constexpr uint8_t type_of(uint32_t selector) { return static_cast<uint8_t>(selector); }
// The OUI of the AKM suites that an element of kind defines.
constexpr uint32_t akm_oui_of(int kind) { return kind == kKindWpa ? kOuiMicrosoft : kOuiIeee; }

constexpr uint16_t kWpsConfigMethods = 0x1008;
constexpr uint16_t kWpsSelectedRegistrarConfigMethods = 0x1053;
constexpr uint16_t kWpsLabel = 0x0004;
constexpr uint16_t kWpsDisplay = 0x0008;
constexpr uint16_t kWpsPushButton = 0x0080;

// Key management names of the suite types that both OUIs define.
constexpr char kAkmNames[][7] = {"none", "802.1X", "PSK"};

// Further IEEE 802.11 (00:0F:AC) AKM suite types, named as hostapd and
// wpa_supplicant name them where such a name fits in 6 characters (so that
// "WPA2-" + name stays within a slot) and contains no "/" or ",", which the
// network line uses as separators. Types left out (10 APPeerKey, 14-17
// FILS, 19 FT-PSK SHA-384, 22), every type of another OUI and every type
// beyond 2 in a WPA element are written as "AKM" and the decimal type when
// further, "unknown" when first.
// The names lie in the table itself: no pointer to relocate at start-up.
struct AkmName {
  uint8_t type;
  char name[7];
};
constexpr AkmName kIeeeAkmNames[] = {
    {3, "FT-EAP"},   // FT over 802.1X
    {4, "FT-PSK"},   // FT with PSK
    {5, "EAP256"},   // 802.1X with SHA-256
    {6, "PSK256"},   // PSK with SHA-256
    {7, "TDLS"},     // TPK handshake
    {8, "SAE"},      // WPA3-Personal
    {9, "FT-SAE"},   // FT over SAE
    {11, "SUITEB"},  // 802.1X Suite B (SHA-256)
    {12, "SB192"},   // 802.1X Suite B 192-bit (SHA-384)
    {18, "OWE"},     // opportunistic wireless encryption
    {20, "PSK384"},  // PSK with SHA-384
    {21, "PASN"},    // pre-association security negotiation
    {23, "EAP384"},  // 802.1X with SHA-384
    {24, "SAEEXT"},  // SAE with group-dependent hash (SAE-EXT-KEY)
    // Named only with -s: as further suites these were always "AKM" and the
    // type, which the network line's consumer may rely on.
    {13, "FTE384"},  // FT over 802.1X with SHA-384
    {25, "FTSAEX"},  // FT over SAE-EXT-KEY
};
constexpr size_t kAlwaysNamed = 14;  // the entries named without -s

// The table's name of an IEEE 802.11 suite type, or null; all: as with -s.
const char *ieee_akm_name(uint8_t type, bool all) {
  const size_t known = all ? std::size(kIeeeAkmNames) : kAlwaysNamed;
  for (size_t i = 0; i < known; ++i)
    if (kIeeeAkmNames[i].type == type) return kIeeeAkmNames[i].name;
  return nullptr;
}

// The name of an AKM suite selector from the table of its element's own
// OUI (akm_oui), or null: a suite of any other OUI is named by neither.
const char *akm_name(uint32_t akm_oui, uint32_t selector, bool all) {
  if (oui_of(selector) != akm_oui) return nullptr;
  const uint8_t type = type_of(selector);
  if (type < std::size(kAkmNames)) return kAkmNames[type];
  return akm_oui == kOuiIeee ? ieee_akm_name(type, all) : nullptr;
}

// Name of a further AKM suite selector into out (at least 7 bytes); all: as
// with -s.
void further_akm_name(uint32_t akm_oui, uint32_t selector, bool all, char *out, size_t size) {
  const uint8_t type = type_of(selector);
  // Without -s the three types that both OUIs define are named whatever the
  // OUI, as the line always had them.
  const char *name = !all && type < std::size(kAkmNames) ? kAkmNames[type]
                                                         : akm_name(akm_oui, selector, all);
  if (name != nullptr)
    snprintf(out, size, "%s", name);
  else
    snprintf(out, size, "AKM%u", static_cast<unsigned>(type));
}

// The slot under construction, or null when every slot is in use (or the
// count is out of range), so nothing is ever written beyond the last slot.
char *open_slot(network_entry *entry) {
  if (entry == nullptr || entry->security_count < 0 || entry->security_count >= kSecuritySlots)
    return nullptr;
  return entry->security[entry->security_count];
}

void slot_write(network_entry *entry, const char *text) {
  char *slot = open_slot(entry);
  if (slot == nullptr) return;
  snprintf(slot, kSlotSize, "%s", text);
}

void slot_append(network_entry *entry, const char *text) {
  char *slot = open_slot(entry);
  if (slot == nullptr) return;
  const size_t used = strnlen(slot, kSlotSize - 1);
  snprintf(slot + used, kSlotSize - used, "%s", text);
}

void slot_commit(network_entry *entry) {
  if (open_slot(entry) != nullptr) ++entry->security_count;
}

// What a WPA, RSN or WPS element says, as far as its descriptors need it.
struct KeyElement {
  enum Fault : uint8_t {
    kNone,
    kMalformed,      // cut short, or a vendor element of another OUI
    kNoGroupOui,     // WPA: a group cipher selector without an OUI
    kNoGroupCipher,  // RSN: group cipher suite type 0
    kNoKnownAkm,     // no AKM suite, or a first one of another OUI or type
  };
  Fault fault = kMalformed;
  bool wps = false;
  uint16_t wps_methods = 0;         // WPS: configuration method bits, 0 when none found
  uint32_t group = 0;               // group cipher suite selector
  const char *first_akm = nullptr;  // name of the first AKM suite
  ByteReader further_akms;          // the remaining AKM suite selectors, 4 bytes each
};

// The configuration methods that the first Config Methods or Selected
// Registrar Config Methods attribute announces, or 0. The search is a scan
// for the attribute types' first byte, stepping two bytes past a
// non-matching candidate (so it misses a type right after a value byte
// 0x10); a candidate whose type or value would lie past the element ends the
// search (no later candidate could have its value inside either).
uint16_t wps_methods(ByteReader attrs) {
  while (attrs.skip_to(0x10)) {
    uint8_t second;
    if (!attrs.peek_u8(1, &second)) break;
    const uint16_t type = static_cast<uint16_t>(0x1000 | second);
    if (type == kWpsConfigMethods || type == kWpsSelectedRegistrarConfigMethods) {
      uint16_t methods;
      if (!attrs.skip(4) || !attrs.read_u16_be(&methods)) break;
      return methods;
    }
    attrs.skip(2);  // the peek above guarantees two bytes
  }
  return 0;
}

// body: the element's bytes after its header, cut to what may be read;
// all: as with -s.
KeyElement parse_key_element(int kind, ByteReader body, bool all) {
  KeyElement e;
  if (body.remaining() < 6) return e;
  if (kind == kKindWpa) {
    uint32_t header;  // OUI and OUI type; any type but WPS reads as WPA
    if (!body.read_u32_be(&header) || oui_of(header) != kOuiMicrosoft) return e;
    if (type_of(header) == kOuiTypeWps) {
      e.fault = KeyElement::kNone;
      e.wps = true;
      e.wps_methods = wps_methods(body);
      return e;
    }
  }
  if (!body.skip(2) || !body.read_u32_be(&e.group)) return e;  // version, then group cipher
  if (kind == kKindWpa && oui_of(e.group) == kOuiNone) {
    e.fault = KeyElement::kNoGroupOui;
    return e;
  }
  if (kind == kKindRsn && type_of(e.group) == 0) {
    e.fault = KeyElement::kNoGroupCipher;
    return e;
  }
  uint16_t pairwise;
  uint16_t akm_count;
  std::span<const uint8_t> akms;
  if (!body.read_u16_le(&pairwise) || !body.skip(4 * static_cast<size_t>(pairwise)) ||
      !body.read_u16_le(&akm_count) || !body.read_bytes(4 * static_cast<size_t>(akm_count), &akms))
    return e;
  // A count of 0 names no suite, so the bytes after the list are not read as one.
  ByteReader list(akms);
  uint32_t first;
  // Without -s a first suite beyond the three that both OUIs define is not named.
  if (list.read_u32_be(&first) && (all || type_of(first) < std::size(kAkmNames)))
    e.first_akm = akm_name(akm_oui_of(kind), first, all);
  if (e.first_akm == nullptr) {
    e.fault = KeyElement::kNoKnownAkm;
    return e;
  }
  e.fault = KeyElement::kNone;
  e.further_akms = list;
  return e;
}

// The descriptors of a parsed element. The slot under construction holds
// "WPA" or "WPA2" on entry; a descriptor that follows from it is appended.
void record_key_element(network_entry *entry, int kind, const KeyElement &e, bool all) {
  if (e.wps) {
    entry->wps = 1;
    slot_write(entry, "WPS");
    if (e.wps_methods & (kWpsLabel | kWpsDisplay)) slot_append(entry, "-PIN");
    if (e.wps_methods & kWpsPushButton) slot_append(entry, "-PBC");
    slot_commit(entry);
    return;
  }
  if (e.fault == KeyElement::kNoGroupOui) {
    // No descriptor: the text stays uncommitted, so the next one replaces it.
    slot_write(entry, "802.11i");
    return;
  }
  if (e.fault != KeyElement::kNone) {
    add_descriptor(entry, "unknown");
    return;
  }
  slot_append(entry, "-");
  slot_append(entry, e.first_akm);
  slot_commit(entry);

  const char *prefix = kind == kKindWpa ? "WPA-" : "WPA2-";
  ByteReader list = e.further_akms;
  uint32_t selector;
  // With every slot in use the remaining suites are dropped.
  while (open_slot(entry) != nullptr && list.read_u32_be(&selector)) {
    char name[8];
    further_akm_name(akm_oui_of(kind), selector, all, name, sizeof name);
    slot_write(entry, prefix);
    slot_append(entry, name);
    slot_commit(entry);
  }
}

}  // namespace

void format_akm_suite(bool wpa_element, uint32_t selector, char *out, size_t size) {
  if (out == nullptr || size == 0) return;
  further_akm_name(akm_oui_of(wpa_element ? kKindWpa : kKindRsn), selector, true, out, size);
}

void add_descriptor(network_entry *entry, const char *text) {
  slot_write(entry, text);
  slot_commit(entry);
}

// 0 once the buffer is walked, whatever the elements hold; -1 only for a
// missing entry or a slot count outside 0..6.
int parse_security_ies(network_entry *entry, const unsigned char *buf, int len, bool all_suites) {
  if (len <= 1) return 0;
  if (entry == nullptr) return -1;
  if (entry->security_count < 0 || entry->security_count > kSecuritySlots) return -1;

  ByteReader r(buf, len);
  bool whole = true;
  while (whole && r.remaining() >= 2) {
    uint8_t id = 0;
    ByteReader body;
    whole = r.read_element(&id, &body);
    if (!whole) {
      // An element whose length runs past the end is read as far as it
      // goes and ends the walk.
      r.read_u8(&id);
      r.skip(1);
      body = r;
    }
    // Drivers hand over every element of a cell, and vendor elements such as
    // WMM each take a slot; once all six are in use the cell simply records
    // nothing more instead of failing the scan.
    const int kind = id == kIdRsn ? kKindRsn : id == kIdVendor ? kKindWpa : 0;
    if (kind == 0 || open_slot(entry) == nullptr) continue;
    slot_write(entry, kind == kKindRsn ? "WPA2" : "WPA");
    record_key_element(entry, kind, parse_key_element(kind, body, all_suites), all_suites);
  }
  return 0;
}
