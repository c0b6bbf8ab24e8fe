// SPDX-License-Identifier: MIT
// What a cell's elements tell a site survey beside its descriptors: the
// channel's width and centre, the newest standard, BSS Load, country, WPS
// and the security as values. A plain record, no heap; every figure has a
// value that means "not given", which the JSON document writes as null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// In rising order: the highest one the elements show wins.
enum class survey_standard : uint8_t { none, a, b, g, n, ac, ax, be };

// Cipher suites by their IEEE 802.11 names; none: not given.
enum class survey_cipher : uint8_t {
  none,
  unknown,  // another type or another OUI than the element's
  wep40,
  wep104,
  tkip,
  ccmp,
  gcmp,
  ccmp256,
  gcmp256,
};

// Management frame protection from the RSN capabilities; none: not given.
enum class survey_pmf : uint8_t { none, no, capable, required };

inline constexpr int kSurveyAkms = 8;
inline constexpr size_t kSurveyAkmSize = 8;  // "unknown" and its NUL

struct cell_survey {
  uint32_t center_mhz;   // the channel's centre; 0: not known
  uint32_t center2_mhz;  // the second segment's centre of 80+80 MHz, else 0
  uint16_t width_mhz;    // 20, 40, 80, 160 (80+80 too) or 320; 0: not known
  survey_standard standard;

  bool bss_load;            // the BSS Load element's figures below are given
  uint16_t stations;        // associated stations
  uint8_t utilization;      // channel busy, of 255
  uint8_t utilization_pct;  // the same in percent, rounded to nearest

  char country[3];  // the two-character code, "" when absent or unprintable
  bool wps;         // a WPS element is there

  bool rsn;  // an RSN element is there
  bool wpa;  // a WPA element is there
  // Every AKM suite of the RSN element and then the WPA element, each name
  // once, named as -s names them (format_akm_suite); "unknown" for a list
  // cut short. Suites beyond kSurveyAkms names are dropped.
  uint8_t akm_count;
  char akm[kSurveyAkms][kSurveyAkmSize];
  // Bit 1 << survey_cipher of each pairwise suite ("use the group cipher"
  // adds none).
  uint16_t pairwise;
  survey_cipher group;  // the RSN element's, else the WPA element's
  survey_pmf pmf;       // "no" for a WPA element alone
};
// Of an RSN or WPA element, the fields after a whole one that ends the
// element are not given (none, no bits, no names; PMF "no", as its
// capability bits are then 0); a field cut short is "unknown", and so is
// every later one (PMF none).

// Reads the elements of one cell (id, length, body; a last element cut short
// is read as far as it goes) into *out. primary_mhz: the frequency the cell
// was heard on, 0 when not known (widths only then, no centres). 0, or -1 for
// a null out.
int survey_parse(std::span<const uint8_t> ies, long primary_mhz, cell_survey *out);

// The JSON texts: "a" ... "be", "CCMP" ..., "required" ...; null for none.
const char *survey_standard_name(survey_standard standard);
const char *survey_cipher_name(survey_cipher cipher);
const char *survey_pmf_name(survey_pmf pmf);
// The names of the ciphers of a pairwise set, in survey_cipher order, into
// names (room for n); how many there are.
int survey_pairwise_names(uint16_t pairwise, const char **names, int n);
