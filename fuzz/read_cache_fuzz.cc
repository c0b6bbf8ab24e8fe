// Any bytes as a cache file: read_cache gives every record or -1 with an
// empty list, never changes the file and leaves the stream at its start. A
// list that was read is written back in the cache form and must read again
// as the same list.
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

// A memory file holding exactly `bytes`, opened for reading and writing.
FILE *memory_file(const uint8_t *bytes, size_t size) {
  int fd = memfd_create("cache", MFD_CLOEXEC);
  check(fd >= 0, "memfd_create");
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, bytes + done, size - done);
    check(n > 0, "write");
    done += static_cast<size_t>(n);
  }
  FILE *f = fdopen(fd, "r+");
  check(f != nullptr, "fdopen");
  return f;
}

std::vector<uint8_t> file_bytes(FILE *f) {
  fflush(f);
  std::vector<uint8_t> v;
  uint8_t buf[4096];
  off_t off = 0;
  for (ssize_t n; (n = pread(fileno(f), buf, sizeof buf, off)) > 0; off += n) v.insert(v.end(), buf, buf + n);
  return v;
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

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *f = memory_file(data, size);
  fseek(f, 0, SEEK_END);
  int r = read_cache(f);
  check(r == 0 || r == -1, "result");
  check(ftell(f) == 0, "stream not at its start");
  std::vector<uint8_t> after = file_bytes(f);
  check(after.size() == size && (size == 0 || memcmp(after.data(), data, size) == 0), "file changed");
  fclose(f);

  std::vector<network_entry> first = snapshot(true);
  if (r == -1 || size == 0) {
    check(first.empty(), "a failed or empty read left entries");
    list_clear();
    return 0;
  }

  FILE *g = memory_file(nullptr, 0);
  check(write_network_lines(1, g, 1, 0) == 0, "write of a list that was read");
  list_clear();
  check(read_cache(g) == 0, "rereading what was written");
  fclose(g);
  std::vector<network_entry> second = snapshot(false);
  check(second.size() == first.size(), "reread count");
  for (size_t i = 0; i < first.size(); ++i) check(same(first[i], second[i]), "reread entry");
  list_clear();
  return 0;
}
