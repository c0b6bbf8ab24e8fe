// SPDX-License-Identifier: MIT
// Why a run failed and what it did, for the -v option. One process, one run:
// the first failure recorded is the one reported, so the innermost site names
// the cause and the callers that fail in turn add nothing.
#pragma once

#include <cstdint>

// Records what failed, with the system's text for err when err is not 0.
// Only the first record of a run stays.
void diag_fail(int err, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The same with a hint in parentheses after the system's text.
void diag_fail_hint(int err, const char *hint, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// The recorded failure, or null.
const char *diag_failure();
// Forgets a recorded failure that did not fail the run (a directed scan whose
// result is not needed, say), so that a later failure is the one reported.
void diag_forget();

// What a scan did; the backends count, the summary line reports.
struct diag_counts {
  uint32_t passes;     // scan results decoded
  uint32_t joined;     // scans that joined one already running on the radio
  uint32_t fetches;    // result requests
  uint32_t grows;      // result buffer enlargements
  uint32_t oversized;  // cells listed without their ESSID, which was over 32 bytes
  uint32_t empty;      // results that listed no network (the pass failed)
};
diag_counts &diag_count();

// Forgets the record and the counts (tests; the program runs once).
void diag_reset();
