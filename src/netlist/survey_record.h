// SPDX-License-Identifier: MIT
// What a site survey reads of a network beside the line's fields, kept with
// its entry only for -j runs: numbers (each with its bit in `given`), names
// of a fixed vocabulary and short texts, each in the order the JSON document
// writes it. A zeroed record gives nothing, which the document writes as
// null. Neither the line nor the cache file holds it.
#pragma once

#include <cstdint>

// The numbers, in the document's order. kSurveyLoad and kSurveyKeys are
// flags only: the BSS Load and the encryption objects are given.
enum survey_number : uint8_t {
  kSurveySignal,  // dBm
  kSurveyNoise,   // dBm
  kSurveyFrequency,
  kSurveyWidth,   // 20, 40, 80, 160 (80+80 too) or 320 MHz
  kSurveyCenter,  // MHz
  kSurveyLastSeen,
  kSurveyLoad,
  kSurveyStations,
  kSurveyUtilization,  // percent
  kSurveyWps,          // 0 or 1; given wherever the driver handed elements over
  kSurveyKeys,         // an RSN or a WPA element is there
  kSurveyBitrate,      // kbit/s, the associated network's
  kSurveyNumbers,
};

// The names: "2.4" ...; "a" ... "be"; the group cipher; "required", "capable", "no".
enum survey_name : uint8_t { kSurveyBand, kSurveyStandard, kSurveyGroup, kSurveyPmf, kSurveyNames };

inline constexpr unsigned kSurveyAkmSize = 64;
inline constexpr unsigned kSurveyPairwiseSize = 48;

struct network_survey {
  uint32_t given;  // bit 1 << survey_number of each number given
  int64_t number[kSurveyNumbers];
  const char *name[kSurveyNames];  // static texts; null: not given
  char country[3];                 // "" when not given
  // Names, each followed by a space: every AKM suite as -s names them, and
  // the pairwise ciphers; as many whole names as fit.
  char akm[kSurveyAkmSize];
  char pairwise[kSurveyPairwiseSize];
};

inline void survey_set(network_survey *s, survey_number n, int64_t value) {
  s->number[n] = value;
  s->given |= 1u << n;
}
