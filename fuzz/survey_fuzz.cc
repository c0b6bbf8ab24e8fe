// SPDX-License-Identifier: MIT
// Feeds arbitrary element buffers to survey_parse and checks that every
// figure of the record is one it may hold.
//
// Input: byte 0 chooses the primary frequency (low four bits, from the table
// below); the rest is the element buffer.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "backend/ieee80211/survey.h"

namespace {

void require(bool ok) {
  if (!ok) abort();
}

constexpr long kPrimaries[16] = {0,    2412, 2437, 2472, 2484, 4920, 5180,  5200,
                                 5745, 5885, 5935, 5955, 6015, 7115, 58320, 1};

bool is_width(unsigned w) {
  return w == 0 || w == 20 || w == 40 || w == 80 || w == 160 || w == 320;
}

bool is_name(const char *s, size_t size) {
  const size_t len = strnlen(s, size);
  return len > 0 && len < size && strpbrk(s, "/, ") == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const long primary = kPrimaries[data[0] & 15];
  ++data;
  --size;

  // An exactly sized copy: any read past the buffer is a heap overflow.
  auto *buf = static_cast<uint8_t *>(malloc(size ? size : 1));
  if (size) memcpy(buf, data, size);
  cell_survey s;
  require(survey_parse(std::span<const uint8_t>(buf, size), primary, &s) == 0);
  free(buf);

  require(is_width(s.width_mhz));
  if (s.center_mhz != 0) {
    // The primary lies in the channel (in the first segment of 80+80).
    const long half = s.center2_mhz != 0 ? 40 : s.width_mhz / 2;
    require(primary > 0 && labs(static_cast<long>(s.center_mhz) - primary) < half);
  }
  require(s.center2_mhz == 0 || (s.width_mhz == 160 && s.center_mhz != 0));
  require(s.standard <= survey_standard::be);
  require(s.bss_load || (s.stations == 0 && s.utilization == 0));
  require(s.utilization_pct <= 100 && s.utilization_pct * 255 / 100 <= s.utilization + 2);
  require(s.country[2] == '\0' && (s.country[0] == '\0') == (s.country[1] == '\0'));

  require(s.akm_count <= kSurveyAkms);
  for (int i = 0; i < s.akm_count; ++i) {
    require(is_name(s.akm[i], sizeof s.akm[i]));
    for (int j = 0; j < i; ++j) require(strcmp(s.akm[i], s.akm[j]) != 0);
  }
  // Every pairwise bit names a cipher.
  const char *names[16];
  require(survey_pairwise_names(s.pairwise, names, 16) == std::popcount(s.pairwise));
  require(s.group <= survey_cipher::gcmp256 && s.pmf <= survey_pmf::required);
  // Security figures only from a security element.
  const bool keyed = s.rsn || s.wpa;
  require(keyed || (s.akm_count == 0 && s.pairwise == 0 && s.group == survey_cipher::none &&
                    s.pmf == survey_pmf::none));
  return 0;
}
