// SPDX-License-Identifier: MIT
// lumra with a recorder of its nl80211 traffic: every request sent and every
// datagram received goes to the file named first, then the rest of the
// command line runs as lumra's.
//   lumra-record FILE [lumra options]
// Record: kind (1 byte: 0 request, 1 reply, 2 event), 3 zero bytes, the
// length (4 bytes, host order), the bytes, zero padding to 4 bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "backend/nl80211/io.h"
#include "cli/lumra.h"

namespace {

FILE *out = nullptr;

void record(int kind, const void *data, size_t len) {
  const uint8_t head[4] = {static_cast<uint8_t>(kind), 0, 0, 0};
  const auto n = static_cast<uint32_t>(len);
  const uint8_t pad[4] = {0, 0, 0, 0};
  fwrite(head, 1, sizeof head, out);
  fwrite(&n, 1, sizeof n, out);
  fwrite(data, 1, len, out);
  fwrite(pad, 1, (4 - len % 4) % 4, out);
  fflush(out);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fputs("usage: lumra-record FILE [lumra options]\n", stderr);
    return 2;
  }
  out = fopen(argv[1], "wb");
  if (out == nullptr) {
    perror(argv[1]);
    return 2;
  }
  nl_record_hook = record;
  argv[1] = argv[0];
  return lumra_main(argc - 1, argv + 1);
}
