// SPDX-License-Identifier: MIT
// Any bytes as a cache file: parse_cache (read_cache's parser) gives every
// record or -1 with an empty list, and a list it gave is written back in the
// cache form and must parse again as the same list. Every input is parsed
// from libFuzzer's exactly sized copy, so a read past the bytes is reported.
// read_cache itself, on a memory file holding the input, must give the same
// result and list, never change the file and leave the stream at its start:
// checked for the first input (so also for any input run alone) and every
// 32nd after it, as the file's system calls cost twice all the rest.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "netlist/linefmt.h"
#include "netlist/netlist.h"

namespace {

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "read_cache_fuzz: %s\n", what);
    abort();
  }
}

// A memory file opened for reading and writing, made once and refilled.
FILE *memory_file() {
  int fd = memfd_create("cache", MFD_CLOEXEC);
  check(fd >= 0, "memfd_create");
  FILE *f = fdopen(fd, "r+");
  check(f != nullptr, "fdopen");
  return f;
}

// Makes `f` hold exactly `bytes`. Overwriting, then cutting what is left of
// the last input, keeps the file's pages.
void refill(FILE *f, const uint8_t *bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fileno(f), bytes + done, size - done, static_cast<off_t>(done));
    check(n > 0, "write");
    done += static_cast<size_t>(n);
  }
  check(ftruncate(fileno(f), static_cast<off_t>(size)) == 0, "ftruncate");
}

// Whether the file holds exactly `bytes`.
bool holds(FILE *f, const uint8_t *bytes, size_t size) {
  fflush(f);
  uint8_t buf[4096];
  size_t off = 0;
  for (ssize_t n; (n = pread(fileno(f), buf, sizeof buf, static_cast<off_t>(off))) > 0;
       off += static_cast<size_t>(n)) {
    if (off + static_cast<size_t>(n) > size ||
        memcmp(buf, bytes + off, static_cast<size_t>(n)) != 0)
      return false;
  }
  return off == size;
}

// The list's entries, checked against their bounds. With `as_kept`, as the
// cache form keeps them: no bit rate, and an empty last slot dropped.
std::vector<network_entry> snapshot(bool as_kept) {
  std::vector<network_entry> v;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) {
    check(e->essid_len <= 32 && e->essid[e->essid_len] == '\0', "essid");
    check(strnlen(e->bssid, sizeof e->bssid) <= 17, "bssid");
    check(strnlen(e->mode, sizeof e->mode) <= 6, "mode");
    check(e->security_count >= 0 && e->security_count <= 6, "security_count");
    for (int i = 0; i < e->security_count; ++i) check(strnlen(e->security[i], 12) <= 11, "slot");
    check(e->quality <= 100, "quality");
    check(strnlen(e->bitrate, sizeof e->bitrate) <= 10, "bitrate");
    check(e->current == 0 && e->privacy == 0 && e->wps == 0, "flags");
    network_entry k = *e;
    k.next = nullptr;
    if (as_kept) {
      k.bitrate[0] = '\0';
      if (k.security_count > 0 && k.security[k.security_count - 1][0] == '\0') --k.security_count;
    }
    v.push_back(k);
  }
  return v;
}

bool same(const network_entry &a, const network_entry &b) {
  if (a.essid_len != b.essid_len || memcmp(a.essid, b.essid, a.essid_len) != 0) return false;
  if (strcmp(a.bssid, b.bssid) != 0 || strcmp(a.mode, b.mode) != 0) return false;
  if (a.security_count != b.security_count) return false;
  for (int i = 0; i < a.security_count; ++i)
    if (strcmp(a.security[i], b.security[i]) != 0) return false;
  return a.channel == b.channel && a.quality == b.quality && strcmp(a.bitrate, b.bitrate) == 0;
}

constexpr unsigned kFileEvery = 32;

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static unsigned inputs = 0;
  int r = parse_cache(reinterpret_cast<const char *>(data), size);
  check(r == 0 || r == -1, "result");
  std::vector<network_entry> first = snapshot(true);
  if (r == -1 || size == 0) check(first.empty(), "a failed or empty read left entries");

  if (inputs++ % kFileEvery == 0) {
    static FILE *const f = memory_file();
    list_clear();
    refill(f, data, size);
    fseek(f, 0, SEEK_END);
    check(read_cache(f) == r, "read_cache result");
    check(ftell(f) == 0, "stream not at its start");
    check(holds(f, data, size), "file changed");
    std::vector<network_entry> read = snapshot(true);
    check(read.size() == first.size(), "read_cache count");
    for (size_t i = 0; i < first.size(); ++i) check(same(first[i], read[i]), "read_cache entry");
  }
  if (first.empty()) {
    list_clear();
    return 0;
  }

  // The written form goes to memory and through the parser again.
  char *text = nullptr;
  size_t length = 0;
  FILE *g = open_memstream(&text, &length);
  check(g != nullptr, "open_memstream");
  check(write_network_lines(1, g, 1, 0) == 0, "write of a list that was read");
  check(fclose(g) == 0, "fclose");
  list_clear();
  check(parse_cache(text, length) == 0, "rereading what was written");
  free(text);
  std::vector<network_entry> second = snapshot(false);
  check(second.size() == first.size(), "reread count");
  for (size_t i = 0; i < first.size(); ++i) check(same(first[i], second[i]), "reread entry");
  list_clear();
  return 0;
}
