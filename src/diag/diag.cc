// SPDX-License-Identifier: MIT
#include "diag/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

char g_failure[256];
bool g_failed = false;
diag_counts g_counts;

void record(int err, const char *hint, const char *format, va_list args) {
  if (g_failed) return;
  g_failed = true;
  int used = vsnprintf(g_failure, sizeof g_failure, format, args);
  if (used < 0) used = 0;
  size_t at = static_cast<size_t>(used) < sizeof g_failure ? static_cast<size_t>(used)
                                                           : sizeof g_failure - 1;
  if (err != 0)
    at +=
        static_cast<size_t>(snprintf(g_failure + at, sizeof g_failure - at, ": %s", strerror(err)));
  if (at < sizeof g_failure && hint != nullptr)
    snprintf(g_failure + at, sizeof g_failure - at, " (%s)", hint);
}

}  // namespace

void diag_fail(int err, const char *format, ...) {
  va_list args;
  va_start(args, format);
  record(err, nullptr, format, args);
  va_end(args);
}

void diag_fail_hint(int err, const char *hint, const char *format, ...) {
  va_list args;
  va_start(args, format);
  record(err, hint, format, args);
  va_end(args);
}

const char *diag_failure() { return g_failed ? g_failure : nullptr; }

void diag_forget() {
  g_failed = false;
  g_failure[0] = '\0';
}

diag_counts &diag_count() { return g_counts; }

void diag_reset() {
  diag_forget();
  g_counts = diag_counts{};
}
