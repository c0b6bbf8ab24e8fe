// SPDX-License-Identifier: MIT
// What the line writer and the cache reader share: the bounds of each field
// of a record, the record's prefix, and the word-at-a-time byte tests.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "netlist/netlist.h"

namespace record_text {

inline constexpr std::size_t kMaxEssidBytes = 32;
inline constexpr std::size_t kMaxEncodedEssid = 96;  // 32 bytes of three characters
// The ESSID field's bound is 99 characters, not the 96 that 32 escaped
// bytes take: stored caches and the files of older writers were read with
// this bound, and a 33rd byte is refused by the byte count anyway.
inline constexpr std::size_t kMaxEssidField = 99;
inline constexpr std::size_t kMaxBssidText = 17;
inline constexpr std::size_t kMaxModeText = 6;
inline constexpr std::size_t kSlots = kSecuritySlots;
inline constexpr std::size_t kMaxSlotText = kSecuritySlotSize - 1;
inline constexpr std::size_t kMaxSecurityText = kSlots * kMaxSlotText + kSlots - 1;  // 71
inline constexpr std::size_t kMaxBitrateText = 10;
inline constexpr unsigned kMaxQuality = 100;
inline constexpr std::string_view kPrefix = "ESSID:";
inline constexpr std::string_view kBoundary = ",ESSID:";

static_assert(sizeof(network_entry{}.essid) == 36 && 36 > kMaxEssidBytes);
static_assert(sizeof(network_entry{}.bssid) == kMaxBssidText + 1);
static_assert(sizeof(network_entry{}.mode) == kMaxModeText + 1);
static_assert(sizeof(network_entry{}.security) / kSlots == kMaxSlotText + 1);
static_assert(sizeof(network_entry{}.bitrate) > kMaxBitrateText);

// Searches go a machine word at a time: eight bytes on 64-bit targets, four
// on 32-bit ones, where wider arithmetic would cost more than it saves.
using word = std::uintptr_t;
inline constexpr std::size_t kWordBytes = sizeof(word);
inline constexpr word kOnes = static_cast<word>(-1) / 0xff;  // 0x01 in every byte

// The index of the first byte of w (as it lay in memory) that is zero, or
// sizeof w. The lowest flagged byte of the classic test is exact; flags
// above it may be false.
template <typename W = word>
[[gnu::always_inline]] inline std::size_t first_zero_byte(W w) {
  constexpr W ones = static_cast<W>(-1) / 0xff;
  W flags = static_cast<W>((w - ones) & ~w & static_cast<W>(ones << 7));
  if (flags == 0) return sizeof w;
  if constexpr (std::endian::native == std::endian::little)
    return static_cast<std::size_t>(std::countr_zero(flags)) / 8;
  std::size_t i = 0;
  while (static_cast<uint8_t>(w >> (8 * (sizeof w - 1 - i))) != 0) ++i;
  return i;
}

}  // namespace record_text
