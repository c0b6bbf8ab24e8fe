// SPDX-License-Identifier: MIT
// Why a run failed and what it did, for the -v and -j options.
#pragma once

#include <cstdint>

// Why an operation failed, owned by the step of the run that asked for it
// and passed down to the sites that fail. The first failure recorded stays,
// so the innermost site names the cause and the callers that fail in turn
// add nothing.
struct cause {
  // A stable word for the cause (-j): "no-device", "no-permission",
  // "no-wext", "no-nl80211", "busy", "no-network", "cache-unsafe",
  // "cache-malformed", "cache-io", "bad-option", "output-failed" or
  // "scan-failed"; null while nothing failed.
  const char *code = nullptr;
  int err = 0;  // the system's error number, 0 for none
  char text[256];
  // Empty; only the text's first byte needs clearing.
  cause() { text[0] = '\0'; }
};

// Records what failed, with the system's text for err when err is not 0,
// unless c holds a failure already; whether it recorded (a hint may then
// follow). A null code is the error number's: "no-device",
// "no-permission", "busy", else "scan-failed".
bool cause_set(cause *c, const char *code, int err, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// Adds to the text of a recorded failure.
void cause_append(cause *c, const char *format, ...) __attribute__((format(printf, 2, 3)));

// What a run's scans did: the flow counts into the instance's record, the
// summary line reports.
struct diag_counts {
  uint32_t passes;     // scan results decoded
  uint32_t joined;     // scans that joined one already running on the radio
  uint32_t fetches;    // result requests
  uint32_t grows;      // result buffer enlargements
  uint32_t oversized;  // cells listed without their ESSID, which was over 32 bytes
  uint32_t empty;      // results that listed no network (the pass failed)
};
