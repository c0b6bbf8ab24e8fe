// The one text form of the network list: the output line and the cache file.
#pragma once

#include <cstdio>

// The line printed in place of the list when a run fails.
inline constexpr char kErrorLine[] = "ESSID:error,,,,,";

// Writes every entry as one record. 0, or -1 when encode is set and an ESSID
// is longer than 32 bytes (the earlier records stay written).
int write_network_lines(int encode, FILE *stream, int with_bssid, int with_rate);

// Parses a cache file into the (empty) network list. 0 with every record, or
// -1 with an empty list. The file is never changed; the stream is left at
// its first byte.
int read_cache(FILE *stream);
