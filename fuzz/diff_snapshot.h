// SPDX-License-Identifier: MIT
// What the differential fuzz targets compare after a decoding path ran: its
// result, the run's counters, the list through the cache writer and both
// output forms, and each entry's flags and figures.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "diag/diag.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"

inline std::string diff_snapshot(int result, const diag_counts &c) {
  char *text = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&text, &size);
  if (out == nullptr) abort();
  fprintf(out, "result %d counts %u %u\n", result, c.oversized, c.empty);
  for (network_entry *e = list_first(); e != nullptr; e = list_next())
    fprintf(out, "%u %u %d %u %u %d\n", e->privacy, e->wps, e->channel, e->quality, e->current,
            e->security_count);
  fprintf(out, "%d\n", write_records(out, kCacheForm));
  fprintf(out, "%d\n", write_records(out, output_form(false)));
  fprintf(out, "%d\n", write_records(out, output_form(true)));
  if (fclose(out) != 0) abort();
  std::string snapshot(text, size);
  free(text);
  return snapshot;
}
