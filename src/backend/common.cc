// SPDX-License-Identifier: MIT
#include "backend/common.h"

#include <cstddef>
#include <cstring>

void set_quality(network_entry *entry, int percent) {
  if (percent >= 0) entry->quality = static_cast<uint8_t>(clamp_percent(percent));
}

// Compared in place: a library call per entry would cost more than the
// comparison. The text of an address (17 characters and a NUL) is compared
// as the field's 18 bytes at once.
network_entry *find_entry(const char (&bssid)[18]) {
  constexpr std::size_t kLen = sizeof bssid;
  static_assert(sizeof network_entry{}.bssid == kLen);
  std::size_t text_len = 0;
  while (text_len < kLen && bssid[text_len] != '\0') ++text_len;
  if (text_len == kLen - 1) {
    uint64_t a0, a1;
    uint16_t a2;
    memcpy(&a0, bssid, 8);
    memcpy(&a1, bssid + 8, 8);
    memcpy(&a2, bssid + 16, 2);
    for (network_entry *entry = list_first(); entry != nullptr; entry = list_next()) {
      uint64_t b0, b1;
      uint16_t b2;
      memcpy(&b0, entry->bssid, 8);
      memcpy(&b1, entry->bssid + 8, 8);
      memcpy(&b2, entry->bssid + 16, 2);
      if (((a0 ^ b0) | (a1 ^ b1) | static_cast<uint16_t>(a2 ^ b2)) == 0) return entry;
    }
    return nullptr;
  }
  for (network_entry *entry = list_first(); entry != nullptr; entry = list_next()) {
    std::size_t i = 0;
    while (i < text_len && entry->bssid[i] == bssid[i]) ++i;
    if (i == text_len && (i == kLen || entry->bssid[i] == '\0')) return entry;
  }
  return nullptr;
}
