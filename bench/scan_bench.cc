// SPDX-License-Identifier: MIT
// Scan decoding and whole refresh runs.
//
// BM_DecodeFullResult: one 65535-byte scan result (the most a fetch can
// return) of 300 cells decoded into an empty list; "per_cell" is the time
// for one cell. BM_DecodeRepeatPass: the same result once every cell is
// listed, as in passes 2 to 5.
// BM_RefreshInProcess: WE's scan (five passes, buffer growth from 4096 bytes)
// and both writes of the list, under the fake driver with virtual time; the
// fake's own encoding of the result for every fetch is included.
// BM_RefreshProcess: the built program started with the fake driver
// preloaded; "cpu_ms" is the CPU time (user and system) of the child.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "backend/flow.h"
#include "backend/we/we.h"
#include "cli/lumra.h"
#include "diag/diag.h"
#include "fakewext.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"

extern char **environ;

namespace {

using fakewext::Bytes;
using fakewext::Cell;
namespace ev = fakewext::ev;

constexpr int kCells = 300;
constexpr size_t kResultSize = 65535;

const Bytes kRsn = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0f, 0xac, 0x04, 0x01, 0x00, 0x00,
                    0x0f, 0xac, 0x04, 0x01, 0x00, 0x00, 0x0f, 0xac, 0x02, 0x0c, 0x00};
const Bytes kWpaWps = {0xdd, 0x16, 0x00, 0x50, 0xf2, 0x01, 0x01, 0x00, 0x00, 0x50, 0xf2, 0x02,
                       0x01, 0x00, 0x00, 0x50, 0xf2, 0x02, 0x01, 0x00, 0x00, 0x50, 0xf2, 0x02,
                       0xdd, 0x0a, 0x00, 0x50, 0xf2, 0x04, 0x10, 0x08, 0x00, 0x02, 0x00, 0x84};

std::string hex(const Bytes &b) {
  std::string out;
  char two[3];
  for (uint8_t v : b) {
    snprintf(two, sizeof two, "%02x", v);
    out += two;
  }
  return out;
}

// Cell i as a cfg80211 driver reports it: channel and frequency, quality,
// ESSID, encryption, six rates, mode, and WPA2, WPA with WPS, or nothing.
struct CellSpec {
  char mac[18];
  int channel, mhz;
  uint8_t qual, level;
  char essid[16];
  int security;  // 0 open, 1 WPA2, 2 WPA and WPS
};

CellSpec cell_shape(int i) {
  CellSpec s{};
  snprintf(s.mac, sizeof s.mac, "02:00:00:00:%02x:%02x", i >> 8, i & 0xff);
  if (i % 4 == 3) {
    s.channel = 36 + 4 * (i % 8);
    s.mhz = 5000 + 5 * s.channel;
  } else {
    s.channel = 1 + i % 13;
    s.mhz = 2407 + 5 * s.channel;
  }
  s.qual = static_cast<uint8_t>(10 + i % 60);
  s.level = static_cast<uint8_t>(256 - 40 - i % 50);
  snprintf(s.essid, sizeof s.essid, "network-%03d", i);
  s.security = i % 5 == 0 ? 0 : (i % 5 == 1 ? 2 : 1);
  return s;
}

Cell cell(int i) {
  CellSpec s = cell_shape(i);
  Cell c = {ev::ap(s.mac),
            ev::channel(s.channel),
            ev::freq_mhz(s.mhz),
            ev::qual(s.qual, s.level, 0, 0x2b),
            ev::essid(s.essid),
            s.security ? ev::encode_on() : ev::encode_off(),
            ev::rates({6000000, 12000000, 24000000, 36000000, 48000000, 54000000}),
            ev::mode(IW_MODE_MASTER)};
  if (s.security == 1) c.push_back(ev::genie(kRsn));
  if (s.security == 2) c.push_back(ev::genie(kWpaWps));
  return c;
}

// 300 cells, padded with custom events in the last cell to 65535 bytes.
std::vector<Cell> full_result() {
  std::vector<Cell> cells;
  for (int i = 0; i < kCells; i++) cells.push_back(cell(i));
  size_t size = fakewext::encode_scan(cells, 22).size();
  if (size + 16 > kResultSize) return {};
  size_t left = kResultSize - size;
  while (left > 0) {
    size_t n = left - 16 <= 256 ? left - 16 : 200;
    cells.back().push_back(ev::custom(std::string(n, 'p')));
    left -= 16 + n;
  }
  return cells;
}

std::string scenario_text() {
  std::string text =
      "interface wlan0\n  essid \"network-042\"\n  ap 02:00:00:00:00:2a\n  freq 2432\n"
      "  rate 65000000\n  link 50 196 161 0x0f\n";
  char line[320];
  for (int i = 0; i < kCells; i++) {
    CellSpec s = cell_shape(i);
    snprintf(line, sizeof line,
             "cell %s\n  channel %d\n  freq %d\n  qual %d %d 0 0x2b\n  essid \"%s\"\n"
             "  encode %s\n  rate 6000000 12000000 24000000 36000000 48000000 54000000\n"
             "  mode 3\n",
             s.mac, s.channel, s.mhz, s.qual, s.level, s.essid, s.security ? "on" : "off");
    text += line;
    if (s.security == 1) text += "  ie " + hex(kRsn) + "\n";
    if (s.security == 2) text += "  ie " + hex(kWpaWps) + "\n";
  }
  return text;
}

iw_range bench_range() {
  iw_range range;
  memset(&range, 0, sizeof range);
  range.we_version_compiled = 22;
  range.max_qual = {70, static_cast<uint8_t>(-110), 0, IW_QUAL_DBM};
  for (int i = 0; i < 13; i++) {
    range.freq[i] = fakewext::freq_of_mhz(2412 + 5 * i);
    range.freq[i].i = static_cast<uint8_t>(i + 1);
  }
  range.num_frequency = 13;
  return range;
}

// One pass's result decoded into a batch and merged, as the flow takes it.
int decode_pass(Bytes &result, const iw_range &range) {
  const cell_rules rules{"", "", false};
  cell_batch batch(&rules);
  if (we_decode_scan(reinterpret_cast<char *>(result.data()), kResultSize, &range, &batch) != 0)
    return -1;
  diag_counts counts{};
  return merge_batch(batch, rules, &counts);
}

void per_cell(benchmark::State &state) {
  state.counters["per_cell"] =
      benchmark::Counter(kCells, benchmark::Counter::kIsIterationInvariantRate |
                                     benchmark::Counter::kInvert);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kResultSize);
}

void BM_DecodeFullResult(benchmark::State &state) {
  Bytes result = fakewext::encode_scan(full_result(), 22);
  if (result.size() != kResultSize) {
    state.SkipWithError("result not 65535 bytes");
    return;
  }
  iw_range range = bench_range();
  for (auto _ : state) {
    state.PauseTiming();
    list_clear();
    state.ResumeTiming();
    if (decode_pass(result, range) != 0) state.SkipWithError("decode failed");
  }
  per_cell(state);
  int n = 0;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) n++;
  if (n != kCells) state.SkipWithError("not every cell listed");
  list_clear();
}
BENCHMARK(BM_DecodeFullResult);

void BM_DecodeRepeatPass(benchmark::State &state) {
  Bytes result = fakewext::encode_scan(full_result(), 22);
  iw_range range = bench_range();
  list_clear();
  decode_pass(result, range);
  for (auto _ : state) {
    if (decode_pass(result, range) != 0) state.SkipWithError("decode failed");
  }
  per_cell(state);
  list_clear();
}
BENCHMARK(BM_DecodeRepeatPass);

void BM_RefreshInProcess(benchmark::State &state) {
  fakewext::Session session;
  // The benchmark's clock is the monotonic one: it must see real time. No
  // wait is interrupted here, so the scan never reads it.
  session.driver().virtual_monotonic(false);
  fakewext::Interface iface;
  iface.name = "wlan0";
  iface.cells = full_result();
  const uint8_t ap[6] = {2, 0, 0, 0, 0, 0x2a};
  memcpy(iface.ap, ap, 6);
  session.add(std::move(iface));
  backend_ctx *ctx = we_create();
  ctx->ifname = "wlan0";
  FILE *cache = tmpfile();
  FILE *out = fopen("/dev/null", "w");
  cause why;
  for (auto _ : state) {
    state.PauseTiming();
    list_clear();
    session.driver().clear_log();
    rewind(cache);
    state.ResumeTiming();
    if (we_ops.scan(ctx, {}, &why) != 0) state.SkipWithError("scan failed");
    write_network_lines(1, cache, 1, 0);
    write_network_lines(0, out, 0, 1);
    fflush(cache);
    fflush(out);
  }
  state.counters["virtual_s"] = static_cast<double>(session.driver().now_us()) / 1e6 /
                                static_cast<double>(state.iterations());
  fclose(cache);
  fclose(out);
  we_destroy(ctx);
  list_clear();
}
BENCHMARK(BM_RefreshInProcess)->Unit(benchmark::kMillisecond);

double child_cpu_ms() {
  rusage r;
  getrusage(RUSAGE_CHILDREN, &r);
  return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 +
         (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

void BM_RefreshProcess(benchmark::State &state) {
  std::string cache = kCachePath;
  mkdir(cache.substr(0, cache.rfind('/')).c_str(), 0755);
  char dir[] = "/tmp/lumra_bench_XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  std::string scenario = std::string(dir) + "/scenario";
  FILE *f = fopen(scenario.c_str(), "w");
  std::string text = scenario_text();
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);

  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) env.emplace_back(*e);
  env.push_back(std::string("LD_PRELOAD=") + FAKEWEXT_PRELOAD);
  env.push_back("FAKEWEXT_SCENARIO=" + scenario);
  std::vector<char *> envp;
  for (std::string &v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string binary = LUMRA_BINARY, opt = "-i", name = "wlan0";
  char *argv[] = {binary.data(), opt.data(), name.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

  double cpu_before = child_cpu_ms();
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()) != 0) {
      state.SkipWithError("cannot start the program");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("program failed");
  }
  state.counters["cpu_ms"] =
      (child_cpu_ms() - cpu_before) / static_cast<double>(state.iterations());
  posix_spawn_file_actions_destroy(&actions);
  unlink(scenario.c_str());
  rmdir(dir);
}
BENCHMARK(BM_RefreshProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
