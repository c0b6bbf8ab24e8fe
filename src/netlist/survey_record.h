// SPDX-License-Identifier: MIT
// What a site survey reads of a network beside the line's fields, kept with
// its entry: the values the elements and the driver give, and their names
// in the JSON document. Compact, as every entry carries one; zero (or its
// flag clear) means not given, which the document writes as null. Neither
// the line nor the cache file holds it.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The band of the frequency: none, then "2.4", "5", "6" and "60" (GHz).
enum class survey_band : uint8_t { none, ghz2_4, ghz5, ghz6, ghz60 };

// Which figures of a network_survey are given.
enum survey_given : uint8_t {
  kGivenSignal = 1,
  kGivenNoise = 2,
  kGivenLastSeen = 4,
  kGivenBssLoad = 8,
  kGivenElements = 16,  // the driver handed elements over: wps is known
  kGivenWps = 32,       // a WPS element is there
  kGivenKeys = 64,      // an RSN or WPA element is there: the encryption members
};

// The AKM names joined by '/', a NUL after them: three names of any length,
// usually all of them; a name that does not fit is left out with those after it.
inline constexpr std::size_t kSurveyAkmText = 24;

struct network_survey {
  uint32_t frequency_mhz = {};  // 0: not given
  uint32_t center_mhz = {};     // the channel's centre; 0: not known
  uint32_t last_seen_ms = {};   // kGivenLastSeen
  uint32_t bitrate_kbps = {};   // the associated network's live rate; 0: none
  uint16_t width_mhz = {};      // 20, 40, 80, 160 (80+80 too) or 320; 0: not known
  uint16_t stations = {};       // kGivenBssLoad
  uint16_t pairwise = {};       // bit 1 << survey_cipher of each pairwise cipher
  int8_t signal_dbm = {};       // kGivenSignal
  int8_t noise_dbm = {};        // kGivenNoise
  uint8_t given = {};           // survey_given bits
  survey_standard standard = {};
  uint8_t utilization_pct = {};  // kGivenBssLoad
  survey_cipher group = {};
  survey_pmf pmf = {};
  survey_band band = {};
  char country[2] = {};  // the two characters, country[0] 0 when absent
  char akm[kSurveyAkmText] = {};
};

// The JSON texts: "a" ... "be", "CCMP" ..., "required" ..., "2.4" ...;
// null for none.
const char *survey_standard_name(survey_standard standard);
const char *survey_cipher_name(survey_cipher cipher);
const char *survey_pmf_name(survey_pmf pmf);
const char *survey_band_name(survey_band band);
// The band whose name is text (as band_of_mhz gives it); none for null or
// another text.
survey_band survey_band_of(const char *text);
// The names of the ciphers of a pairwise set, in survey_cipher order, into
// names (room for n); how many there are.
int survey_pairwise_names(uint16_t pairwise, const char **names, int n);
