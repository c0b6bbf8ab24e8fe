// SPDX-License-Identifier: MIT
// The cache steps of a refresh run: the start-up check that a new file can
// be made, then a new cache of 100 networks (as many as many.scn gives;
// 5.6 KB) made beside the cache, written, fsync'ed and renamed over it, with
// the directory locked. On this machine's disk (the build directory's
// scratch cache) and on tmpfs (/dev/shm), with the fsyncs and with them left
// out, which shows what they cost.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/cachefile.h"
#include "cli/lumra.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"

namespace {

constexpr int kNetworks = 100;

void fill_list() {
  list_clear();
  for (int i = 0; i < kNetworks; ++i) {
    network_entry *e = list_append_new();
    if (e == nullptr) return;
    int n = snprintf(e->essid, sizeof e->essid, "net %d", i);
    e->essid_len = static_cast<uint32_t>(n);
    snprintf(e->bssid, sizeof e->bssid, "02:00:00:00:%02x:%02x", i >> 8 & 0xff, i & 0xff);
    snprintf(e->mode, sizeof e->mode, "Master");
    snprintf(e->security[e->security_count++], sizeof e->security[0], "WPA2-PSK");
    e->channel = 1 + i % 13;
    e->quality = static_cast<uint8_t>(i % 101);
  }
}

int fill_cache(FILE *f, void * /*arg*/) { return write_network_lines(1, f, 1, 0); }

int no_fsync(int /*fd*/) { return 0; }

std::string disk_path() { return kCachePath; }

std::string tmpfs_path() { return "/dev/shm/lumra-bench-" + std::to_string(getpid()) + "/lumra"; }

void commit(benchmark::State &state, const std::string &path, bool with_fsync) {
  fill_list();
  std::string dir = path.substr(0, path.rfind('/'));
  mkdir(dir.c_str(), 0755);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    state.SkipWithError(("no directory " + dir).c_str());
    return;
  }
  cachefile_sys sys = kCachefileSystem;
  if (!with_fsync) sys.fsync = no_fsync;
  for (auto _ : state) {
    cache_file cache(path.c_str(), sys);
    cause why;
    if (cache.prepare(&why) != 0 || cache.commit(fill_cache, nullptr, &why) != 0) {
      state.SkipWithError("commit failed");
      break;
    }
  }
  unlink(path.c_str());
  if (path.rfind("/dev/shm/", 0) == 0) rmdir(dir.c_str());
  list_clear();
}

void commit_disk(benchmark::State &state) { commit(state, disk_path(), true); }
void commit_disk_without_fsync(benchmark::State &state) { commit(state, disk_path(), false); }
void commit_tmpfs(benchmark::State &state) { commit(state, tmpfs_path(), true); }
void commit_tmpfs_without_fsync(benchmark::State &state) { commit(state, tmpfs_path(), false); }
BENCHMARK(commit_disk)->Unit(benchmark::kMicrosecond);
BENCHMARK(commit_disk_without_fsync)->Unit(benchmark::kMicrosecond);
BENCHMARK(commit_tmpfs)->Unit(benchmark::kMicrosecond);
BENCHMARK(commit_tmpfs_without_fsync)->Unit(benchmark::kMicrosecond);

}  // namespace
