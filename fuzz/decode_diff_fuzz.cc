// SPDX-License-Identifier: MIT
// Runs the Wireless Extensions decoder and its earlier copy (fuzz/old/) on
// the same scan result from the same list, and aborts when the lists, as
// written, differ. The input is decode_fuzz's; byte 13 bit 0 turns on the
// naming of every suite (-s).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend/backend.h"
#include "backend/we/we.h"
#include "diff_snapshot.h"
#include "old/old_flow.h"
#include "we_input.h"

namespace {

// The earlier decoder, writing the list as it walked.
int old_decode(char *buffer, size_t length, const iw_range &range, const we_input &in,
               diag_counts *counts) {
  old_path::we_state st{};
  st.counts = counts;
  st.directed = in.rules.directed;
  st.all_suites = in.rules.all_suites;
  memcpy(st.ap_addr, in.ap_addr, sizeof st.ap_addr);
  memcpy(st.ap_rate, in.rules.ap_rate, strlen(in.rules.ap_rate) + 1);
  return old_path::we_decode_scan(&st, buffer, static_cast<int>(length), &range);
}

int new_decode(char *buffer, size_t length, const iw_range &range, const we_input &in,
               diag_counts *counts) {
  return we_input_pass(buffer, length, range, in.rules, counts);
}

using decoder = int (*)(char *, size_t, const iw_range &, const we_input &, diag_counts *);

std::string run(decoder decode, const uint8_t *data, size_t size) {
  const uint8_t *h = data;
  we_input in;
  diag_counts counts{};
  we_input_setup(h, &in);
  in.rules.all_suites = (h[13] & 1) != 0;
  const iw_range range = we_input_range(h);
  const size_t length = size - kWeInputHeader;
  char *buffer = static_cast<char *>(malloc(length));
  memcpy(buffer, data + kWeInputHeader, length);
  const int result = decode(buffer, length, range, in, &counts);
  free(buffer);
  std::string snapshot = diff_snapshot(result, counts);
  list_clear();
  return snapshot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kWeInputHeader + 1) return 0;
  const std::string before = run(old_decode, data, size);
  const std::string after = run(new_decode, data, size);
  if (before != after) {
    fprintf(stderr, "before:\n%s\nafter:\n%s\n", before.c_str(), after.c_str());
    abort();
  }
  return 0;
}
