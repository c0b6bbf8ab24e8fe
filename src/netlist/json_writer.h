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
};

// Writes every entry, in list order, as one document and a newline. Stream
// errors are left in the stream's error flag.
void write_json(FILE *stream, const json_run &run);

// {"error": message} and a newline.
void write_json_error(FILE *stream, const char *message);

// n bytes as a JSON string in quotes: valid UTF-8 as it is, every other
// byte as U+FFFD, quotes, backslashes and control characters escaped.
void write_json_string(FILE *stream, const char *bytes, std::size_t n);
