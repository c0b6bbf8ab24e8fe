// SPDX-License-Identifier: MIT
// The network list as one JSON document (RFC 8259), for scripts and web
// pages: the -j output. Field names are stable; README lists them.
#pragma once

#include <cstddef>
#include <cstdio>

// What the document says about the run beside its networks.
struct json_run {
  const char *interface;
  const char *backend;  // the backend that served the run
  const char *run;      // "refresh", "cached" or "last"
  // A cached run: when its cache was written, in seconds since the epoch
  // (UTC); negative: not known, or a refresh run.
  long long cached_at = -1;
  // Why the association's live data could not be read; null when it was.
  const char *warning = nullptr;
};

// Writes every entry, in list order, as one document and a newline, with
// each entry's site-survey record (null members without one). Stream errors
// are left in the stream's error flag.
void write_json(FILE *stream, const json_run &run);

// {"error": message, "code": code} and a newline; code is one of the
// cause's stable words (diag.h), written as it is.
void write_json_error(FILE *stream, const char *message, const char *code);

// n bytes as a JSON string in quotes: valid UTF-8 as it is, every other
// byte as U+FFFD, quotes, backslashes and control characters escaped.
void write_json_string(FILE *stream, const char *bytes, std::size_t n);
