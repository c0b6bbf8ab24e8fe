// SPDX-License-Identifier: MIT
// Writing and reading a cache of 1,000 records; "per_record" is the time
// for one record.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "netlist/linefmt.h"
#include "netlist/netlist.h"

namespace {

constexpr int kRecords = 1000;

// A list like a busy scan's: ESSIDs with blanks and other escaped bytes,
// one to three security slots.
void fill_list() {
  list_clear();
  static const char *const kSecurity[] = {"WPA2-PSK", "WPS", "WPA-PSK", "WEP", "off"};
  for (int i = 0; i < kRecords; ++i) {
    network_entry *e = list_append_new();
    if (e == nullptr) return;
    int n = snprintf(e->essid, sizeof e->essid, "net %d, floor %d", i, i % 7);
    e->essid_len = static_cast<uint32_t>(n);
    snprintf(e->bssid, sizeof e->bssid, "02:00:00:%02x:%02x:%02x", i >> 16 & 0xff, i >> 8 & 0xff,
             i & 0xff);
    snprintf(e->mode, sizeof e->mode, "%s", i % 5 ? "Master" : "Ad-Hoc");
    for (int s = 0; s <= i % 3; ++s)
      snprintf(e->security[e->security_count++], sizeof e->security[0], "%s",
               kSecurity[(i + s) % 5]);
    e->channel = 1 + i % 13;
    e->quality = static_cast<uint8_t>(i % 101);
  }
}

void per_record(benchmark::State &state, long bytes) {
  state.counters["per_record"] =
      benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate |
                                       benchmark::Counter::kInvert);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

void write_cache(benchmark::State &state) {
  fill_list();
  FILE *f = tmpfile();
  while (state.KeepRunning()) {
    rewind(f);
    if (write_network_lines(1, f, 1, 0) != 0) state.SkipWithError("write failed");
    fflush(f);
  }
  per_record(state, ftell(f));
  fclose(f);
  list_clear();
}
BENCHMARK(write_cache);

void write_output(benchmark::State &state) {
  fill_list();
  FILE *f = tmpfile();
  while (state.KeepRunning()) {
    rewind(f);
    write_network_lines(0, f, 0, 1);
    fflush(f);
  }
  per_record(state, ftell(f));
  fclose(f);
  list_clear();
}
BENCHMARK(write_output);

void read_cache_1000(benchmark::State &state) {
  fill_list();
  FILE *f = tmpfile();
  write_network_lines(1, f, 1, 0);
  long bytes = ftell(f);
  fflush(f);
  list_clear();
  while (state.KeepRunning()) {
    if (read_cache(f) != 0) state.SkipWithError("read failed");
    state.PauseTiming();
    list_clear();  // the reader is always given an empty list
    state.ResumeTiming();
  }
  per_record(state, bytes);
  fclose(f);
}
BENCHMARK(read_cache_1000);

}  // namespace
