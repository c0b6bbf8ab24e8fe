// SPDX-License-Identifier: MIT
#include "diag/diag.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char *code_of(int err) {
  if (err == ENODEV || err == ENXIO) return "no-device";
  if (err == EPERM || err == EACCES) return "no-permission";
  return err == EBUSY ? "busy" : "scan-failed";
}

// Appends to the text, cut at its end.
void add(cause *c, const char *format, va_list args) {
  const size_t at = strnlen(c->text, sizeof c->text);
  vsnprintf(c->text + at, sizeof c->text - at, format, args);
}

}  // namespace

bool cause_set(cause *c, const char *code, int err, const char *format, ...) {
  if (c->code != nullptr) return false;
  c->code = code != nullptr ? code : code_of(err);
  c->err = err;
  c->text[0] = '\0';
  va_list args;
  va_start(args, format);
  add(c, format, args);
  va_end(args);
  if (err != 0) cause_append(c, ": %s", strerror(err));
  return true;
}

void cause_append(cause *c, const char *format, ...) {
  va_list args;
  va_start(args, format);
  add(c, format, args);
  va_end(args);
}
