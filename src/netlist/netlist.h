// SPDX-License-Identifier: MIT
// The process-wide list of scanned networks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netlist/survey_record.h"

// The security descriptor slots of an entry, and the size of each (at most
// 11 characters and a NUL): one definition for the backends that fill them
// and the writer and reader of the line.
inline constexpr int kSecuritySlots = 6;
inline constexpr std::size_t kSecuritySlotSize = 12;

struct network_entry {
  char essid[36];      // raw bytes, at most 32, then a NUL; any byte value
  uint32_t essid_len;  // the ESSID is handled by this length, not by its NUL
  char bssid[18];      // "aa:bb:cc:dd:ee:ff"
  char mode[7];        // "Master", "Ad-Hoc" or empty
  char security[kSecuritySlots][kSecuritySlotSize];  // slot security_count is under construction
  int32_t security_count;                            // slots in use, 0 to 6
  uint32_t privacy;                                  // the scan reported encryption enabled
  uint32_t wps;                                      // a WPS descriptor was recorded
  int32_t channel;                                   // 0 when the scan gave none
  uint8_t quality;                                   // percent, normally 0 to 100
  uint32_t current;                                  // associated with this BSS; bitrate is live
  char bitrate[12];                                  // at most 10 characters
  network_survey *survey;  // the site survey's figures where a run wants them, or null
  network_entry *next;
};

// Allocates a zeroed entry and appends it; null (list unchanged) when out of memory.
network_entry *list_append_new();
// Appends count (> 0) zeroed entries allocated as one block, linked in order;
// returns the first, or null (list unchanged) when out of memory.
network_entry *list_append_block(std::size_t count);
// The entry's site-survey record: the one it has, or a zeroed one made for it
// and owned by the list (freed by list_clear); null when out of memory.
network_survey *list_add_survey(network_entry *entry);
// Makes last, an entry of the list, its last entry (null: none is left): the
// entries after it leave the list but stay allocated with their block until
// list_clear.
void list_truncate(network_entry *last);
// Walks share one cursor: list_first, then list_next until null. Never nest walks.
network_entry *list_first();
network_entry *list_next();
// First entry whose bssid equals the text byte for byte; does not move the cursor.
network_entry *list_find_bssid(const char *bssid);
// First entry whose bssid is the address text of these six bytes (as
// list_bssid_text writes it); does not move the cursor. An index beside the
// list makes this cost the same whatever the list's length: it takes in the
// entries appended since the last lookup, so a producer sets an entry's
// bssid before the next lookup and never changes it after.
network_entry *list_find_addr(const unsigned char addr[6]);
// The address text of six bytes as libiw's iw_ether_ntop writes it:
// "00:1A:2B:3C:4D:5E" and a NUL.
void list_bssid_text(const unsigned char addr[6], char text[18]);
// Frees every entry (every block, in list order) and the index, without recursion.
void list_clear();
