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
#include "we_input.h"

namespace old_path {
int we_decode_scan(backend_ctx *ctx, char *buffer, int length, const struct iw_range *range);
}

namespace {

using decoder = int (*)(backend_ctx *, char *, int, const iw_range *);

std::string run(decoder decode, const uint8_t *data, size_t size) {
  const uint8_t *h = data;
  we_ctx ctx;
  diag_reset();
  we_input_setup(h, &ctx);
  const iw_range range = we_input_range(h);
  const size_t length = size - kWeInputHeader;
  char *buffer = static_cast<char *>(malloc(length));
  memcpy(buffer, data + kWeInputHeader, length);
  const int result = decode(&ctx.base, buffer, static_cast<int>(length), &range);
  free(buffer);
  std::string snapshot = diff_snapshot(result);
  list_clear();
  return snapshot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kWeInputHeader + 1) return 0;
  backend_set_all_suites(data[13] & 1);
  const std::string before = run(old_path::we_decode_scan, data, size);
  const std::string after = run(we_decode_scan, data, size);
  if (before != after) {
    fprintf(stderr, "before:\n%s\nafter:\n%s\n", before.c_str(), after.c_str());
    abort();
  }
  return 0;
}
