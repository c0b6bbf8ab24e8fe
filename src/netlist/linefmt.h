// SPDX-License-Identifier: MIT
// The one text form of the network list: the output line and the cache file.
#pragma once

#include <cstddef>
#include <cstdio>

// The line printed in place of the list when a run fails.
inline constexpr char kErrorLine[] = "ESSID:error,,,,,";

// Which form of the record is written.
struct record_form {
  bool encode_essid;  // ESSID bytes other than plain ones as "%" and two hex digits
  bool with_bssid;    // the address field after the ESSID
  bool with_rate;     // the associated network's bit rate after the quality
};
// The cache file's form: encoded, with addresses, without bit rates.
inline constexpr record_form kCacheForm{true, true, false};
// The form printed for the consumer: encoded only with -e, no addresses,
// the associated network's bit rate.
constexpr record_form output_form(bool encode) { return {encode, false, true}; }

// Writes every entry as one record of the form. 0, or -1 when the form
// encodes and an ESSID is longer than 32 bytes (the earlier records stay
// written). Stream errors are left in the stream's error flag.
int write_records(FILE *stream, const record_form &form);

// The same with the form's three switches as ints, nonzero for on.
int write_network_lines(int encode, FILE *stream, int with_bssid, int with_rate);

// The largest cache file that is read: far above what a refresh can write
// (five passes of at most 65535 result bytes, so at most about 16400
// networks of at most 218 cache bytes each: 3.6 MB), and small enough that
// a file planted or damaged at the cache path is never read whole.
inline constexpr long kMaxCacheBytes = 16L * 1024 * 1024;

// Parses a cache file into the (empty) network list. 0 with every record, or
// -1 with an empty list; a stream that is not a regular file, or is larger
// than kMaxCacheBytes, fails before anything is read. The file is never
// changed; the stream is left at its first byte.
int read_cache(FILE *stream);

// The same over a descriptor, which is read with pread from offset 0 and
// never moved; the stream form goes through this. A failure's cause is
// recorded in why (the stream form and parse_cache do not keep it).
struct cause;
int read_cache_fd(int fd, cause *why);

// What read_cache does with the file's bytes once it has them: parses them
// into the (empty) network list. 0 with every record, or -1 with an empty list.
int parse_cache(const char *bytes, std::size_t size);
