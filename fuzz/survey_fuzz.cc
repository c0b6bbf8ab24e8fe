// SPDX-License-Identifier: MIT
// Feeds arbitrary element buffers to survey_parse and checks that every
// figure of the record is one it may hold.
//
// Input: byte 0 chooses the primary frequency (low four bits, from the table
// below); the rest is the element buffer.
#include <algorithm>
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

// Names of at most 8 characters, each followed by a space, each once.
bool is_names(const char *list, size_t size) {
  const size_t len = strnlen(list, size);
  if (len == size || (len > 0 && list[len - 1] != ' ') || strpbrk(list, "/,") != nullptr)
    return false;
  for (const char *p = list; *p != '\0';) {
    const char *end = strchr(p, ' ');
    if (end == p || end - p > 8) return false;
    for (const char *q = end + 1; *q != '\0'; q = strchr(q, ' ') + 1)
      if (strncmp(p, q, static_cast<size_t>(end - p + 1)) == 0) return false;
    p = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const long primary = kPrimaries[data[0] & 15];
  ++data;
  --size;

  // An exactly sized copy, split in two reports after the first element: any
  // read past either is a heap overflow.
  auto *buf = static_cast<uint8_t *>(malloc(size ? size : 1));
  if (size) memcpy(buf, data, size);
  const size_t split = size >= 2 ? std::min<size_t>(size, 2 + size_t{buf[1]}) : 0;
  const std::span<const uint8_t> parts[] = {{buf, split}, {buf + split, size - split}};
  network_survey s{};
  survey_parse(parts, primary, &s);
  free(buf);

  const auto given = [&](survey_number n) { return (s.given >> n & 1) != 0; };
  require(!given(kSurveyWidth) || is_width(static_cast<unsigned>(s.number[kSurveyWidth])));
  if (given(kSurveyCenter)) {
    // The primary lies in the channel (in the segment with it of 80+80).
    require(given(kSurveyWidth) && primary > 0 &&
            labs(s.number[kSurveyCenter] - primary) < s.number[kSurveyWidth] / 2);
  }
  require(given(kSurveyLoad) == given(kSurveyStations) &&
          given(kSurveyLoad) == given(kSurveyUtilization));
  require(!given(kSurveyLoad) ||
          (s.number[kSurveyStations] <= 65535 && s.number[kSurveyUtilization] <= 100));
  require(s.country[2] == '\0' && (s.country[0] == '\0') == (s.country[1] == '\0'));
  require(is_names(s.akm, sizeof s.akm) && is_names(s.pairwise, sizeof s.pairwise));
  // Security figures only from a security element.
  const bool keyed = given(kSurveyKeys);
  require(keyed || (s.akm[0] == '\0' && s.pairwise[0] == '\0' && s.name[kSurveyGroup] == nullptr &&
                    s.name[kSurveyPmf] == nullptr));
  require(!given(kSurveyNoise) && !given(kSurveySignal) && !given(kSurveyBitrate));
  return 0;
}
