// SPDX-License-Identifier: MIT
#include "netlist/survey_record.h"

#include <cstring>
#include <iterator>

namespace {

template <std::size_t N, std::size_t M>
const char *name_of(const char (&names)[N][M], std::size_t i) {
  return i > 0 && i < N ? names[i] : nullptr;
}

constexpr char kBands[][4] = {"", "2.4", "5", "6", "60"};

}  // namespace

const char *survey_standard_name(survey_standard standard) {
  static constexpr char kNames[][3] = {"", "a", "b", "g", "n", "ac", "ax", "be"};
  return name_of(kNames, static_cast<std::size_t>(standard));
}

const char *survey_cipher_name(survey_cipher cipher) {
  static constexpr char kNames[][9] = {"",     "unknown", "WEP-40",   "WEP-104", "TKIP",
                                       "CCMP", "GCMP",    "CCMP-256", "GCMP-256"};
  return name_of(kNames, static_cast<std::size_t>(cipher));
}

const char *survey_pmf_name(survey_pmf pmf) {
  static constexpr char kNames[][9] = {"", "no", "capable", "required"};
  return name_of(kNames, static_cast<std::size_t>(pmf));
}

const char *survey_band_name(survey_band band) {
  return name_of(kBands, static_cast<std::size_t>(band));
}

survey_band survey_band_of(const char *text) {
  if (text == nullptr) return survey_band::none;
  for (std::size_t i = 1; i < std::size(kBands); ++i)
    if (strcmp(text, kBands[i]) == 0) return static_cast<survey_band>(i);
  return survey_band::none;
}

int survey_pairwise_names(uint16_t pairwise, const char **names, int n) {
  int count = 0;
  for (std::size_t c = 0; c < 16; ++c) {
    const char *name = (pairwise >> c) & 1 ? survey_cipher_name(static_cast<survey_cipher>(c))
                                           : nullptr;
    if (name != nullptr && count < n && names != nullptr) names[count] = name;
    count += name != nullptr;
  }
  return count;
}
