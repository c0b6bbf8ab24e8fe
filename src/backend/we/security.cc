#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>

#include "backend/we/byte_reader.h"
#include "backend/common.h"
#include "netlist/netlist.h"

namespace {

constexpr int kSlots = 6;
constexpr size_t kSlotSize = sizeof(network_entry::security[0]);  // text + NUL

constexpr uint8_t kIdRsn = 48;
constexpr uint8_t kIdVendor = 221;
constexpr int kKindWpa = 1;
constexpr int kKindRsn = 2;

constexpr uint8_t kOuiNone[3] = {0x00, 0x00, 0x00};
constexpr uint8_t kOuiIeee[3] = {0x00, 0x0F, 0xAC};
constexpr uint8_t kOuiMicrosoft[3] = {0x00, 0x50, 0xF2};
constexpr uint8_t kOuiTypeWps = 4;

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
// network line uses as separators. Types left out (10 APPeerKey, 13 FT
// 802.1X SHA-384, 14-17 FILS, 19 FT-PSK SHA-384, 22) and every type of any
// other OUI are written as "AKM" and the decimal type.
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
};

bool same_oui(std::span<const uint8_t> selector, const uint8_t (&oui)[3]) {
  return selector.size() >= 3 && selector[0] == oui[0] && selector[1] == oui[1] &&
         selector[2] == oui[2];
}

// The slot under construction, or null when every slot is in use (or the
// count is out of range), so nothing is ever written beyond the sixth slot.
char *open_slot(network_entry *entry) {
  if (entry == nullptr || entry->security_count < 0 || entry->security_count >= kSlots)
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

// Name of a further AKM suite selector (4 bytes) into out (at least 7 bytes).
void further_akm_name(std::span<const uint8_t> selector, char *out, size_t size) {
  const uint8_t type = selector[3];
  if (type < std::size(kAkmNames)) {
    snprintf(out, size, "%s", kAkmNames[type]);
    return;
  }
  if (same_oui(selector, kOuiIeee)) {
    for (const AkmName &n : kIeeeAkmNames) {
      if (n.type == type) {
        snprintf(out, size, "%s", n.name);
        return;
      }
    }
  }
  snprintf(out, size, "AKM%u", static_cast<unsigned>(type));
}

// WPS element: records "WPS" and the configuration methods that the first
// Config Methods or Selected Registrar Config Methods attribute announces.
// attrs holds the element's bytes from offset 6 on. The search is a scan for
// the attribute types' first byte, stepping two bytes past a non-matching
// candidate; a candidate whose type or value would lie past the element ends
// the search (no later candidate could have its value inside either).
void parse_wps(network_entry *entry, ByteReader attrs) {
  entry->wps = 1;
  slot_write(entry, "WPS");
  while (attrs.skip_to(0x10)) {
    uint8_t second;
    if (!attrs.peek_u8(1, &second)) break;
    const uint16_t type = static_cast<uint16_t>(0x1000 | second);
    if (type == kWpsConfigMethods || type == kWpsSelectedRegistrarConfigMethods) {
      ByteReader value = attrs;
      uint16_t methods;
      if (!value.skip(4) || !value.read_u16_be(&methods)) break;
      if (methods & (kWpsLabel | kWpsDisplay)) slot_append(entry, "-PIN");
      if (methods & kWpsPushButton) slot_append(entry, "-PBC");
      break;
    }
    attrs.skip(2);  // the peek above guarantees two bytes
  }
  slot_commit(entry);
}

}  // namespace

void add_unknown_security(network_entry *entry) {
  slot_write(entry, "unknown");
  slot_commit(entry);
}

void parse_wpa_ie(network_entry *entry, int kind, const unsigned char *ie, int avail) {
  if (entry == nullptr) return;

  ByteReader whole(ie, avail);
  uint8_t length;
  if ((kind != kKindWpa && kind != kKindRsn) || !whole.peek_u8(1, &length)) {
    add_unknown_security(entry);
    return;
  }
  // n: the element's size, cut to what may be read.
  ByteReader r = whole.prefix(static_cast<size_t>(length) + 2);
  if (r.remaining() < 8 || !r.skip(2)) {
    add_unknown_security(entry);
    return;
  }

  const uint8_t(&akm_oui)[3] = kind == kKindWpa ? kOuiMicrosoft : kOuiIeee;
  if (kind == kKindWpa) {
    std::span<const uint8_t> oui;
    uint8_t oui_type;
    if (!r.read_bytes(3, &oui) || !same_oui(oui, kOuiMicrosoft) || !r.read_u8(&oui_type)) {
      add_unknown_security(entry);
      return;
    }
    if (oui_type == kOuiTypeWps) {
      parse_wps(entry, r);
      return;
    }
  }
  std::span<const uint8_t> group;
  if (!r.skip(2) || !r.read_bytes(4, &group)) {  // version, then group cipher suite
    add_unknown_security(entry);
    return;
  }
  if (kind == kKindWpa && same_oui(group, kOuiNone)) {
    // A group cipher selector without an OUI gives no descriptor: the text
    // stays uncommitted, so the next descriptor replaces it.
    slot_write(entry, "802.11i");
    return;
  }
  if (kind == kKindRsn && group[3] == 0) {
    add_unknown_security(entry);
    return;
  }

  uint16_t pairwise;
  uint16_t akm_count;
  std::span<const uint8_t> akms;
  if (!r.read_u16_le(&pairwise) || !r.skip(4 * static_cast<size_t>(pairwise)) ||
      !r.read_u16_le(&akm_count) || !r.read_bytes(4 * static_cast<size_t>(akm_count), &akms)) {
    add_unknown_security(entry);
    return;
  }

  // A count of 0 names no suite, so the bytes after it are not read as one.
  ByteReader list(akms);
  std::span<const uint8_t> selector;
  if (!list.read_bytes(4, &selector) || !same_oui(selector, akm_oui) ||
      selector[3] >= std::size(kAkmNames)) {
    add_unknown_security(entry);
    return;
  }
  slot_append(entry, "-");
  slot_append(entry, kAkmNames[selector[3]]);
  slot_commit(entry);

  const char *prefix = kind == kKindWpa ? "WPA-" : "WPA2-";
  // With every slot in use the remaining suites are dropped.
  while (open_slot(entry) != nullptr && list.read_bytes(4, &selector)) {
    char name[8];
    further_akm_name(selector, name, sizeof name);
    slot_write(entry, prefix);
    slot_append(entry, name);
    slot_commit(entry);
  }
}

// 0 once the buffer is walked, whatever the elements hold; -1 only for a
// missing entry or a slot count outside 0..6.
int parse_security_ies(network_entry *entry, const unsigned char *buf, int len) {
  if (len <= 1) return 0;
  if (entry == nullptr) return -1;
  if (entry->security_count < 0 || entry->security_count > kSlots) return -1;

  ByteReader r(buf, len);
  while (r.remaining() >= 2) {
    uint8_t id = 0;
    uint8_t length = 0;
    if (!r.peek_u8(0, &id) || !r.peek_u8(1, &length)) break;
    // Drivers hand over every element of a cell, and vendor elements such as
    // WMM each take a slot; once all six are in use the cell simply records
    // nothing more instead of failing the scan.
    if (open_slot(entry) != nullptr) {
      const std::span<const uint8_t> rest = r.rest();
      const int avail = static_cast<int>(rest.size());
      if (id == kIdRsn) {
        slot_write(entry, "WPA2");
        parse_wpa_ie(entry, kKindRsn, rest.data(), avail);
      } else if (id == kIdVendor) {
        slot_write(entry, "WPA");
        parse_wpa_ie(entry, kKindWpa, rest.data(), avail);
      }
    }
    if (!r.skip(static_cast<size_t>(length) + 2)) break;
  }
  return 0;
}
