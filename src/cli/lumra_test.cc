// SPDX-License-Identifier: MIT
#include "cli/lumra.h"

#include <fcntl.h>
#include <getopt.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "cli/test_backend.h"
#include "diag/diag.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"
#include "program.h"

namespace {

const std::string kError = kErrorLine;
constexpr size_t kNoFailure = std::string::npos;

using testsupport::read_file;

// The running test's cache file, in a directory of its own (-f).
std::string g_cache;

std::string cache_dir() { return g_cache.substr(0, g_cache.rfind('/')); }

void write_file(const std::string &path, const std::string &bytes) {
  ASSERT_TRUE(testsupport::write_file(path, bytes)) << path;
}

std::optional<std::string> cache_bytes() { return read_file(g_cache); }

void set_cache(const std::optional<std::string> &bytes) {
  unlink(g_cache.c_str());
  if (bytes) write_file(g_cache, *bytes);
}

// A memory stream standing in for standard output or standard error. It can
// fail the one write that would take its content past fail_at bytes (keeping
// what fits), and accepts later writes, so that what the program writes after
// a failure is still seen.
struct sink {
  std::string data;
  size_t fail_at = kNoFailure;
  bool failed = false;
};

ssize_t sink_write(void *cookie, const char *buf, size_t size) {
  auto *s = static_cast<sink *>(cookie);
  if (!s->failed && s->fail_at != kNoFailure && s->data.size() + size > s->fail_at) {
    size_t room = s->fail_at - s->data.size();
    s->failed = true;
    if (room == 0) {
      errno = EIO;
      return -1;
    }
    s->data.append(buf, room);
    return static_cast<ssize_t>(room);  // a short write is a failure too
  }
  s->data.append(buf, size);
  return static_cast<ssize_t>(size);
}

FILE *open_sink(sink *s) {
  cookie_io_functions_t io{};
  io.write = sink_write;
  return fopencookie(s, "w", io);
}

struct run_result {
  int status;
  std::string out;
  std::string err;
};

// Restores the file size limit and SIGXFSZ when the test is done with them.
class file_size_limit {
 public:
  explicit file_size_limit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~file_size_limit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, handler_);
  }
  file_size_limit(const file_size_limit &) = delete;
  file_size_limit &operator=(const file_size_limit &) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  sighandler_t handler_ = SIG_DFL;
  bool ok_ = false;
};

// The networks the scripted backend reports.
const network_entry kHome =
    test_entry("home net", "00:11:22:33:44:55", "Master", {"WPA2-PSK", "WPS"}, 6, 70);
const network_entry kCafe = test_entry("cafe,free", "66:77:88:99:aa:bb", "Master", {"off"}, 11, 40);
const network_entry kMesh = test_entry("mesh", "02:00:00:00:00:01", "Ad-Hoc", {}, 1, 5);
// An ESSID one byte too long makes the encoding writer fail after the earlier
// records have gone out.
const network_entry kTooLong = test_entry(std::string(33, 'x'), "02:00:00:00:00:02", "", {}, 1, 1);

network_entry associated(network_entry e, const char *rate) {
  e.current = 1;
  snprintf(e.bitrate, sizeof e.bitrate, "%s", rate);
  return e;
}

const std::string kHomeCache = "ESSID:home%20net,00:11:22:33:44:55,Master,WPA2-PSK/WPS,6,70 %,";
const std::string kCafeCache = "ESSID:cafe%2cfree,66:77:88:99:aa:bb,Master,off,11,40 %,";
const std::string kMeshCache = "ESSID:mesh,02:00:00:00:00:01,Ad-Hoc,,1,5 %,";
const std::string kOldCache = "ESSID:old,0a:0b:0c:0d:0e:0f,Ad-Hoc,WEP,3,20 %,";
const std::string kGoodCache = kHomeCache + kCafeCache;

// A refresh run: the scan finds both, associated with the cafe.
const std::string kScanOut =
    "ESSID:home net,Master,WPA2-PSK/WPS,6,70 %,"
    "ESSID:cafe,free,Master,off,11,40 %,54 Mbit/s,";
const std::string kScanOutEncoded =
    "ESSID:home%20net,Master,WPA2-PSK/WPS,6,70 %,"
    "ESSID:cafe%2cfree,Master,off,11,40 %,54 Mbit/s,";
// A cached run: associated with home, whose live data differ from the cache.
const std::string kCachedOut =
    "ESSID:home net,Master,WPA2-PSK/WPS,1,77 %,65 Mbit/s,"
    "ESSID:cafe,free,Master,off,11,40 %,";
const std::string kCachedOutEncoded =
    "ESSID:home%20net,Master,WPA2-PSK/WPS,1,77 %,65 Mbit/s,"
    "ESSID:cafe%2cfree,Master,off,11,40 %,";
// The cache as listed, unrefreshed, and the mesh added after it.
const std::string kListedOut =
    "ESSID:home net,Master,WPA2-PSK/WPS,6,70 %,"
    "ESSID:cafe,free,Master,off,11,40 %,";
const std::string kListedEncoded =
    "ESSID:home%20net,Master,WPA2-PSK/WPS,6,70 %,ESSID:cafe%2cfree,Master,off,11,40 %,";
const std::string kMeshLiveOut = kListedOut + "ESSID:mesh,Ad-Hoc,,2,9 %,11 Mbit/s,";

// Accepted by the reader but never written: bit-rate pieces and text between
// a channel and its comma; longer than its rewrite, whose tail must not stay.
const std::string kOddCache =
    "ESSID:home%20net,00:11:22:33:44:55,Master,WPA2-PSK/WPS,6 at 2437 MHz seen twice,70 %,"
    "54 Mbit/s,ESSID:cafe%2cfree,66:77:88:99:aa:bb,Master,off,11 at 2462 MHz,40 %,48 Mbit/s,";
const std::string kOddCafeCache =
    kHomeCache + "ESSID:cafe%2cfree,66:77:88:99:aa:bb,Master,off,11 MHz,40 %,";

// Changes to the fixture's script.
void scan_fails(test_script &s) { s.scan_result = -1; }  // after appending part of a result
void scan_too_long(test_script &s) { s.scan_entries = {kHome, kTooLong}; }
void adds_mesh(test_script &s) {
  s.current_entries = {kMesh};
  s.added = 1;
  s.live = {"02:00:00:00:00:01", "11 Mbit/s", 9, 2};
}
void adds_mesh_unrefreshed(test_script &s) {
  adds_mesh(s);
  s.refresh_live = false;
}
void appends_mesh_unreported(test_script &s) { s.current_entries = {kMesh}; }
void adds_mesh_then_fails(test_script &s) {
  appends_mesh_unreported(s);
  s.added = 1;
  s.current_result = -1;
}
void adds_too_long(test_script &s) {
  s.current_entries = {kTooLong};
  s.added = 1;
  s.refresh_live = false;
}

class LumraRun : public ::testing::Test {
 protected:
  void SetUp() override {
    g_cache = scratch_.path() + "/lumra";
    unlink(g_cache.c_str());
    list_clear();
    test_script &s = test_backend();
    s = test_script{};
    s.scan_entries = {kHome, associated(kCafe, "54 Mbit/s")};
    s.refresh_live = true;
    s.live = {"00:11:22:33:44:55", "65 Mbit/s", 77, 1};
  }

  void TearDown() override {
    list_clear();
    test_backend() = test_script{};
  }

  testsupport::scratch_dir scratch_;

  // Runs the entry function as a fresh process would, capturing both streams.
  run_result run(std::vector<std::string> args, size_t stdout_fail_at = kNoFailure) {
    prepare(std::move(args));
    sink out{.data = {}, .fail_at = stdout_fail_at, .failed = false};
    sink err;
    FILE *out_stream = open_sink(&out);
    FILE *err_stream = open_sink(&err);
    fflush(stdout);
    fflush(stderr);
    FILE *saved_out = stdout;
    FILE *saved_err = stderr;
    stdout = out_stream;
    stderr = err_stream;
    int status = lumra_main(static_cast<int>(argv_.size()) - 1, argv_.data());
    stdout = saved_out;
    stderr = saved_err;
    fclose(out_stream);
    fclose(err_stream);
    return {status, out.data, err.data};
  }

  // For the paths that end the process: the streams stay the real ones.
  int call(std::vector<std::string> args) {
    prepare(std::move(args));
    return lumra_main(static_cast<int>(argv_.size()) - 1, argv_.data());
  }

  std::vector<std::string> args_;

 private:
  void prepare(std::vector<std::string> args) {
    list_clear();
    args_ = std::move(args);
    args_.insert(args_.begin(), {"-f", g_cache});
    argv_.clear();
    argv_.push_back(program_);
    for (std::string &a : args_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
    optind = 0;  // getopt starts over, as in a new process
  }

  char program_[6] = "lumra";
  std::vector<char *> argv_;
};

// What the backend was asked.
struct calls {
  int scans, currents, entries_at_current;
};
constexpr calls kScanned{1, 0, -1};
constexpr calls kCachedTwo{0, 1, 2};  // the cache's two entries loaded first
constexpr calls kNoCalls{0, 0, -1};

struct run_case {
  const char *name;
  std::vector<std::string> args;
  std::optional<std::string> before;
  std::string out;
  std::optional<std::string> after;
  calls asked;
  void (*change)(test_script &) = nullptr;  // to the fixture's script
  rlim_t file_limit = 0;                    // 0: none
  size_t stdout_fail_at = kNoFailure;
};

const std::vector<std::string> kRefresh = {"-b", "TEST"};
const std::vector<std::string> kCached = {"-b", "TEST", "-c"};
const std::optional<std::string> kKept = "(the cache as before)";
const std::string kHalf = kScanOut.substr(0, 20);
const std::string kAlmost = kScanOut.substr(0, kScanOut.size() - 1);
const std::string kWithMesh = kGoodCache + "ESSID:mesh,02:00:00:00:00:01,Ad-Hoc,,2,9 %,";
const std::string kMeshOut = "ESSID:mesh,Ad-Hoc,,1,5 %,";
const size_t kGood = kGoodCache.size();

// Every run whose exit status is 0 with nothing on standard error: the
// choice of run, what is printed and what the cache holds afterwards.
const run_case kRunCases[] = {
    // Which run the options and the cache make.
    {"no mode option, no cache", kRefresh, std::nullopt, kScanOut, kGoodCache, kScanned},
    {"no mode option, old cache", kRefresh, kOldCache, kScanOut, kGoodCache, kScanned},
    {"no mode option, good cache", {"--backend=TEST"}, kGoodCache, kScanOut, kKept, kScanned},
    {"-r", {"-b", "TEST", "-r"}, kGoodCache, kScanOut, kKept, kScanned},
    {"-r -r", {"-r", "-b", "TEST", "-r"}, kGoodCache, kScanOut, kKept, kScanned},
    {"-c -r", {"-b", "TEST", "-c", "-r"}, kGoodCache, kScanOut, kKept, kScanned},
    {"-r -c", {"-b", "TEST", "-r", "-c"}, kGoodCache, kScanOut, kKept, kScanned},
    {"-rc", {"-bTEST", "-rc"}, kGoodCache, kScanOut, kKept, kScanned},
    {"", {"--backend", "TEST", "--cached", "--refresh"}, kGoodCache, kScanOut, kKept, kScanned},
    {"-c", kCached, kGoodCache, kCachedOut, kKept, kCachedTwo},
    {"-c -c", {"-c", "-b", "TEST", "-c"}, kGoodCache, kCachedOut, kKept, kCachedTwo},
    {"--cached", {"--backend=TEST", "--cached"}, kGoodCache, kCachedOut, kKept, kCachedTwo},
    {"-c without a cache file", kCached, std::nullopt, kScanOut, kGoodCache, kScanned},
    {"-e", {"-b", "TEST", "-e"}, kOldCache, kScanOutEncoded, kGoodCache, kScanned},
    {"", {"-b", "TEST", "--encode", "-c"}, kGoodCache, kCachedOutEncoded, kKept, kCachedTwo},
    {"-ce", {"-bTEST", "-ce"}, kGoodCache, kCachedOutEncoded, kKept, kCachedTwo},
    {"-c on an empty cache prints nothing", kCached, "", "", kKept, {0, 1, 0}},
    // A cached run rewrites the cache only when an entry was added, then whole.
    {"added", kCached, kGoodCache, kMeshLiveOut, kWithMesh, kCachedTwo, adds_mesh},
    {"no stale tail", kCached, kOddCache, kListedOut + kMeshOut, kGoodCache + kMeshCache,
     kCachedTwo, adds_mesh_unrefreshed},
    {"not added", kCached, kOddCafeCache, kCachedOut + kMeshOut, kKept, kCachedTwo,
     appends_mesh_unreported},
    // A rewrite that fails part-way, as on a full disk (the old cache fits,
    // the new one not): the list is printed all the same, and the cache stays.
    {"full disk", kCached, kGoodCache, kMeshLiveOut, kKept, kCachedTwo, adds_mesh, kGood},
    // The kernel's list, and one limited to some channels, never touch the
    // cache, failing or not; a refresh in fewer passes writes it.
    {"-l", {"-b", "TEST", "-c", "-l"}, kOldCache, kScanOut, kKept, kScanned},
    {"--band fails", {"-b", "TEST", "--band", "6"}, kOldCache, kError, kKept, kScanned, scan_fails},
    {"-p", {"-b", "TEST", "-p", "1", "--passive"}, kOldCache, kScanOut, kGoodCache, kScanned},
    // Failures after start-up: the error line; a failed refresh leaves no
    // cache (so the next cached run scans afresh), a failed cached run keeps it.
    {"scan fails", kRefresh, kOldCache, kError, std::nullopt, kScanned, scan_fails},
    {"current fails", kCached, kGoodCache, kError, kKept, kCachedTwo, adds_mesh_then_fails},
    {"cache writer fails", kRefresh, kOldCache, kError, std::nullopt, kScanned, scan_too_long},
    {"cache stream fails", kRefresh, kOldCache, kError, std::nullopt, kScanned, nullptr, kGood / 2},
    {"malformed", kCached, "garbage", kError, kKept, kNoCalls},
    {"malformed", kCached, "ESSID:", kError, kKept, kNoCalls},
    {"malformed", kCached, " " + kGoodCache, kError, kKept, kNoCalls},
    {"malformed", kCached, kHomeCache + "ESSID:", kError, kKept, kNoCalls},
    {"malformed", kCached, "ESSID:x,02:00:00:00:00:01,,,1,101 %,", kError, kKept, kNoCalls},
    // Standard output failing part-way: what went out, then the error line;
    // the cache was written before.
    {"stdout cut", kRefresh, std::nullopt, kError, kGoodCache, kScanned, nullptr, 0, 0},
    {"stdout cut", kRefresh, std::nullopt, kHalf + kError, kGoodCache, kScanned, nullptr, 0, 20},
    {"stdout cut", kRefresh, std::nullopt, kAlmost + kError, kGoodCache, kScanned, nullptr, 0,
     kAlmost.size()},
    // The line's writer fails after earlier records; the rewrite failed on the
    // same entry, and the cache read stays.
    {"writer fails",
     {"-b", "TEST", "-c", "-e"},
     kGoodCache,
     kListedEncoded + kError,
     kKept,
     kCachedTwo,
     adds_too_long},
};

TEST_F(LumraRun, Runs) {
  ASSERT_LT((kGoodCache + kMeshCache).size(), kOddCache.size());
  for (const run_case &c : kRunCases) {
    SCOPED_TRACE(std::string(c.name) + " " + testing::PrintToString(c.args) + " on " +
                 testing::PrintToString(c.before));
    SetUp();
    set_cache(c.before);
    test_script &s = test_backend();
    if (c.change != nullptr) c.change(s);
    run_result r{};
    {
      std::optional<file_size_limit> limit;
      if (c.file_limit != 0) {
        limit.emplace(c.file_limit);
        ASSERT_TRUE(limit->ok());
      }
      r = run(c.args, c.stdout_fail_at);
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cache_bytes(), c.after == kKept ? c.before : c.after);
    EXPECT_EQ(read_file(g_cache + ".new"), std::nullopt);
    EXPECT_EQ(s.creates, 1);
    EXPECT_EQ(s.destroys, 1);
    EXPECT_EQ(s.scans, c.asked.scans);
    EXPECT_EQ(s.currents, c.asked.currents);
    EXPECT_EQ(s.entries_at_current, c.asked.entries_at_current);
  }
}

TEST_F(LumraRun, InterfaceDefaultsToEth1AndLastOptionArgumentWinsAndIsBorrowed) {
  run({"-b", "TEST"});
  ASSERT_NE(test_backend().ifname, nullptr);
  EXPECT_STREQ(test_backend().ifname, "eth1");
  SetUp();
  run({"-b", "NONE", "-i", "wlan0", "-b", "TEST", "--interface", "wlan1"});
  EXPECT_EQ(test_backend().creates, 1);
  EXPECT_EQ(test_backend().ifname, args_[9].data());

  run({"--interface=wlan2", "--backend=TEST"});
  EXPECT_EQ(test_backend().ifname, args_[2].data() + strlen("--interface="));
}

TEST_F(LumraRun, StdoutFailingEarlyInALongLineEndsWithErrorLine) {
  // A line of several stream buffers: the failed write happens while records
  // are still being written, and the writes after it succeed, so only the
  // stream's error flag tells.
  test_backend().scan_entries = std::vector<network_entry>(400, kHome);
  const size_t full = 400 * (kScanOut.find("ESSID:cafe"));
  ASSERT_GT(full, size_t{2 * BUFSIZ});
  run_result r = run({"-b", "TEST"}, 100);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_LT(r.out.size(), full);
  EXPECT_TRUE(r.out.ends_with(kError)) << r.out.size() << " bytes end in "
                                       << r.out.substr(r.out.size() > 40 ? r.out.size() - 40 : 0);
}

// -j: a scan whose last pass heard nothing fails, also after earlier passes
// listed networks; only one that listed none prints its empty list.
TEST_F(LumraRun, JsonOfAScanThatHeardNothing) {
  backend_ops ops = *test_backend_ops();
  ops.scan = [](backend_ctx *ctx, const scan_request &req, cause *why) {
    test_backend_ops()->scan(ctx, req, why);
    ++ctx->counts.empty;
    return -1;
  };
  backend_internal::scoped_registry registry;
  ASSERT_EQ(backend_register("EMPTY", &ops), 0);
  for (const bool earlier : {false, true}) {
    SetUp();
    if (!earlier) test_backend().scan_entries = {};
    const run_result r = run({"-b", "EMPTY", "-j"});
    EXPECT_EQ(r.status, earlier ? 1 : 0);
    EXPECT_EQ(r.out.starts_with("{\"error\": "), earlier) << r.out;
  }
}

// -v and -j name the failing operation's own cause and its code, whatever
// ran after it (the refresh's discard of the cache, say).
TEST_F(LumraRun, CauseAndCodeOfAFailedRun) {
  const char *const kBusy = "SIOCSIWSCAN on eth1: Device or resource busy";
  const struct {
    const char *name;
    const char *cause;  // recorded by the scan, which then fails; null: it succeeds
    std::vector<network_entry> entries;
    std::string why;
    const char *code;
  } cases[] = {
      {"scan's cause", kBusy, {kHome}, kBusy, "busy"},
      {"none recorded", "", {}, "eth1: the scan failed", "scan-failed"},
      {"cache write",
       nullptr,
       {kHome, kTooLong},
       ".new: write: an entry the cache cannot hold",
       "cache-io"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    set_cache(kOldCache);
    test_script &s = test_backend();
    s.scan_entries = c.entries;
    s.scan_result = c.cause != nullptr ? -1 : 0;
    if (c.cause != nullptr && c.cause[0] != '\0') {
      s.scan_cause = c.cause;
      s.scan_code = c.code;
    }
    const std::string why = (c.cause != nullptr ? "" : g_cache) + c.why;
    const run_result r = run({"-b", "TEST", "-v", "-j"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "lumra: " + why + "\n");
    EXPECT_EQ(r.out, "{\"error\": \"" + why + "\", \"code\": \"" + c.code + "\"}\n");
  }
}

// What the scan options ask of the backend (passes, last, passive, low
// priority, bands, frequencies) and the summary naming it; the runs that
// keep the cache neither make nor lock it.
TEST_F(LumraRun, ScanOptionsReachTheBackend) {
  // clang-format off
  const struct {
    std::vector<std::string> args;
    std::string asked;
    std::string summary;  // after the backend and interface
    bool writes;
  } cases[] = {
      {{}, "5 0 0 0 0 ", "refresh run (band all, freq all): ", true},
      {{"-p", "2", "--band", "5"}, "2 0 0 0 2 ", "refresh run (band 5, freq all): ", false},
      {{"--passes=10", "--band=2.4,6,5"}, "10 0 0 0 7 ", "refresh run (band 2.4,6,5, freq all): ", false},
      {{"--freq", "2412,4920,7115"}, "5 0 0 0 0 2412 4920 7115 ", "refresh run (band all, freq 2412,4920,7115): ", false},
      {{"--passive", "--low-priority"}, "5 0 1 1 0 ", "refresh run (band all, freq all, passive, low priority): ", true},
      {{"-l"}, "5 1 0 0 0 ", "last run: ", false},
  };
  // clang-format on
  for (const auto &c : cases) {
    SCOPED_TRACE(c.summary);
    SetUp();
    unlink((g_cache + ".lock").c_str());
    std::vector<std::string> args = {"-b", "TEST", "-v"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const run_result r = run(args);
    const scan_request &q = test_backend().asked;
    std::string asked;
    for (int v : {+q.passes, +q.last, +q.passive, +q.low_priority, +q.bands})
      asked += std::to_string(v) + " ";
    for (int i = 0; i < q.freq_count; i++) asked += std::to_string(q.freqs[i]) + " ";
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(r.err.substr(0, r.err.find(':', 7) + 2), "lumra: TEST on eth1, " + c.summary);
    EXPECT_EQ(access((g_cache + ".lock").c_str(), F_OK) == 0, c.writes);
    EXPECT_EQ(access(g_cache.c_str(), F_OK) == 0, c.writes);
  }
}

using LumraRunDeathTest = LumraRun;

// A request the interface or backend cannot carry ends the run as an option
// error does: its cause on standard error (and with -j the document), exit
// status 1, the cache as it was.
TEST_F(LumraRunDeathTest, RefusedRequest) {
  for (const char *json : {"-r", "-j"}) {
    set_cache(kOldCache);
    test_backend().scan_result = kRefused;
    EXPECT_EXIT(call({"-b", "TEST", "--freq", "2484", json}), ::testing::ExitedWithCode(1),
                "^wlan0 does not support 2484 MHz\n$");
    EXPECT_EQ(cache_bytes(), kOldCache);
  }
}

// A backend that cannot be made ends the run before the cache is touched.
TEST_F(LumraRunDeathTest, BackendThatCannotBeMade) {
  set_cache(kOldCache);
  test_backend().create_fails = true;
  EXPECT_EXIT(call({"-b", "TEST", "-c"}), ::testing::ExitedWithCode(1),
              "^Could not get backend\n\n$");
  EXPECT_EQ(cache_bytes(), kOldCache);
}

#if LUMRA_HAVE_WE && LUMRA_HAVE_NL80211
// The default backend cannot serve the interface (as WE where it has no
// Wireless Extensions), or fails otherwise.
bool g_refuse_unserved = true;
int g_refusals = 0;

backend_ctx *refusing_create() {
  return static_cast<backend_ctx *>(calloc(1, sizeof(backend_ctx)));
}
void refusing_destroy(backend_ctx *ctx) { free(ctx); }
int refuse(backend_ctx *ctx, cause *why) {
  ++g_refusals;
  cause_set(why, "no-wext", 0, "no Wireless Extensions on %s", ctx->ifname);
  return g_refuse_unserved ? kUnserved : -1;
}
int refuse_current(backend_ctx *ctx, int *added, cause *why) {
  *added = 0;
  return refuse(ctx, why);
}
// Asked before the operation: the default's refusal found without running it.
int refusing_probe(backend_ctx *ctx, cause *why) {
  if (!g_refuse_unserved) return 1;
  cause_set(why, "no-wext", 0, "no Wireless Extensions on %s", ctx->ifname);
  return 0;
}
const backend_ops kRefusing = {refusing_create, refusing_destroy,
                               [](backend_ctx *ctx, const scan_request &, cause *why) {
                                 return refuse(ctx, why);
                               },
                               refuse_current, refusing_probe};

TEST_F(LumraRun, OtherBackendServesWhereTheDefaultCannot) {
  const std::string other = LUMRA_FALLBACK_BACKEND;
  const std::string by = "lumra: " + other + " on eth1, ";
  const std::string no_we = "lumra: no Wireless Extensions on eth1";
  const std::string none_left = " (no other backend to try)\n";
  const struct {
    std::vector<std::string> args;
    bool unserved;
    int other_result;  // -2: the other refuses the interface too
    std::string out;
    std::string err;  // the start of standard error
    int refusals;     // operations a refusing backend ran
    int other_runs;
    int entries_at_current;  // the cache's two, untouched by the refusal
  } cases[] = {
      {{"-v"}, true, 0, kScanOut, by + "refresh run (band all, freq all): 2 ", 0, 1, -1},
      {{"-v", "-c"}, true, 0, kCachedOut, by + "cached run: 2 ", 0, 1, 2},
      {{"-v"}, true, -1, kError, no_we + "; " + other + ": eth1: the scan failed\n", 0, 1, -1},
      {{"-v", "-b", LUMRA_DEFAULT_BACKEND},
       true,
       0,
       kError,
       no_we + " (try -b " + other + ")\n",
       1,
       0,
       -1},
      {{"-v", "-b", LUMRA_FALLBACK_BACKEND},
       true,
       -2,
       kError,
       no_we + " (try -b " LUMRA_DEFAULT_BACKEND ")\n",
       1,
       0,
       -1},
      {{"-v"},
       true,
       -2,
       kError,
       no_we + "; " + other + ": no Wireless Extensions on eth1" + none_left,
       1,
       0,
       -1},
      {{"-v"}, false, 0, kError, no_we + "\n", 1, 0, -1},  // another failure
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.err);
    SetUp();
    backend_internal::scoped_registry registry;
    ASSERT_EQ(backend_register(LUMRA_DEFAULT_BACKEND, &kRefusing), 0);
    ASSERT_EQ(backend_register(LUMRA_FALLBACK_BACKEND,
                               c.other_result == -2 ? &kRefusing : test_backend_ops()),
              0);
    set_cache(kGoodCache);
    g_refuse_unserved = c.unserved;
    g_refusals = 0;
    test_backend().scan_result = test_backend().current_result = c.other_result;
    run_result r = run(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(g_refusals, c.refusals);
    EXPECT_EQ(test_backend().scans + test_backend().currents, c.other_runs);
    EXPECT_EQ(test_backend().entries_at_current, c.entries_at_current);
  }
  // The document names the backend that served.
  backend_internal::scoped_registry registry;
  ASSERT_EQ(backend_register(LUMRA_DEFAULT_BACKEND, &kRefusing), 0);
  ASSERT_EQ(backend_register(LUMRA_FALLBACK_BACKEND, test_backend_ops()), 0);
  SetUp();
  g_refuse_unserved = true;
  EXPECT_NE(run({"-j"}).out.find("\"backend\": \"" + other + "\""), std::string::npos);
}
#endif

// The built program, run as a process.

using proc_result = testsupport::program_result;

proc_result spawn_lumra(const std::vector<std::string> &args, const char *stdout_path = nullptr) {
  std::vector<std::string> argv = {LUMRA_BINARY, "-f", g_cache};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::run_program(argv, nullptr, stdout_path);
}

// No such interface exists, so the Wireless Extensions backend fails its scan
// without touching a real one.
constexpr char kNoInterface[] = "lumra-none0";

class LumraBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::lumra_starts())
      GTEST_SKIP() << LUMRA_BINARY << " cannot be started on this machine";
    g_cache = scratch_.path() + "/lumra";
  }
  testsupport::scratch_dir scratch_;
};

// What is at the cache path before a run.
enum class at_path { none, old_cache, no_directory };

struct binary_case {
  std::vector<std::string> args;
  at_path before;
  int status;
  std::string out;
  std::string err;
  bool cache_kept = true;     // else the run leaves no cache
  bool out_is_start = false;  // out is the start of standard output
};

const std::string kStray = "\": the interface is given with -i\n";
const std::string kUnknown = "unknown option\n";
const std::string kNoBackend = "Could not get backend\n\n";
const std::string kNoDir = "no cache file: No such file or directory\n";
const std::string kBadPasses = "-p takes a number of passes from 1 to 10\n";
const std::string kBadBand = "--band takes 2.4, 5 or 6, comma-separated\n";
const std::string kBadFreq =
    "--freq takes up to 64 frequencies in MHz of 2.4, 5 and 6 GHz, comma-separated\n";

const binary_case kBinaryCases[] = {
    // Option errors, help, version and stray arguments.
    {{"-x"}, at_path::old_cache, 1, "", kUnknown},
    {{"--bogus"}, at_path::old_cache, 1, "", kUnknown},
    {{"-b"}, at_path::old_cache, 1, "", kUnknown},
    {{"--backend"}, at_path::old_cache, 1, "", kUnknown},
    {{"-c", "-i"}, at_path::old_cache, 1, "", kUnknown},
    {{"--interface"}, at_path::old_cache, 1, "", kUnknown},
    {{"--cached=yes"}, at_path::old_cache, 1, "", kUnknown},
    {{"-b", "WE", "-q", "-r"}, at_path::old_cache, 1, "", kUnknown},
    {{"-h"}, at_path::old_cache, 0, "Usage: lumra [OPTION]...\n", "", true, true},
    {{"-c", "--help", "-x"}, at_path::old_cache, 0, "Usage: lumra ", "", true, true},
    {{"-x", "-h"}, at_path::old_cache, 1, "", kUnknown},
    {{"-V"},
     at_path::old_cache,
     0,
     "lumra " LUMRA_VERSION "\nbackends: " LUMRA_BUILT_BACKENDS " (default " LUMRA_DEFAULT_BACKEND
     ")\n",
     "",
     true,
     true},
    {{"--version"}, at_path::old_cache, 0, "lumra " LUMRA_VERSION "\n", "", true, true},
    {{"wlan0"}, at_path::old_cache, 1, "", "unexpected argument \"wlan0" + kStray},
    {{"-c", "-b", "TEST", "wlan1", "x"},
     at_path::old_cache,
     1,
     "",
     "unexpected argument \"wlan1" + kStray},
    {{"--", "-c"}, at_path::old_cache, 1, "", "unexpected argument \"-c" + kStray},
    // Scan options out of range (1 to 10 passes; the 2.4, 5 and 6 GHz bands,
    // at most 64 of their frequencies), refused before anything is touched.
    // clang-format off
    {{"-p", "0"}, at_path::old_cache, 1, "", kBadPasses}, {{"--passes=11"}, at_path::old_cache, 1, "", kBadPasses},
    {{"-p", "5x"}, at_path::old_cache, 1, "", kBadPasses}, {{"-p", "-1"}, at_path::old_cache, 1, "", kBadPasses},
    {{"--band", "7"}, at_path::old_cache, 1, "", kBadBand}, {{"--band", "2.4,"}, at_path::old_cache, 1, "", kBadBand},
    {{"--freq", "2500"}, at_path::old_cache, 1, "", kBadFreq}, {{"--freq=1,x"}, at_path::old_cache, 1, "", kBadFreq},
    {{"--freq", [] { std::string l = "2412"; while (l.size() < 325) l += ",2412"; return l; }()}, at_path::old_cache, 1, "", kBadFreq},
    {{"-j", "-p", "0"}, at_path::old_cache, 1, "{\"error\": \"" + kBadPasses.substr(0, kBadPasses.size() - 1) + "\", \"code\": \"bad-option\"}\n", kBadPasses},
    // The kernel's list and a limited refresh need no cache directory.
    {{"-l", "-i", kNoInterface}, at_path::no_directory, 0, kError, ""},
    {{"--band", "2.4", "-i", kNoInterface}, at_path::no_directory, 0, kError, ""},
    // clang-format on
    // Backends that are not registered, with or without a cache.
    {{"-b", "XX"}, at_path::none, 1, "", kNoBackend},
    {{"-b", "XX"}, at_path::old_cache, 1, "", kNoBackend},
    {{"-b", "we"}, at_path::none, 1, "", kNoBackend},
    {{"-b", "we"}, at_path::old_cache, 1, "", kNoBackend},
    {{"--backend="}, at_path::none, 1, "", kNoBackend},
    {{"--backend="}, at_path::old_cache, 1, "", kNoBackend},
    {{"-c", "--backend", "WEX", "-i", kNoInterface}, at_path::none, 1, "", kNoBackend},
    {{"-c", "--backend", "WEX", "-i", kNoInterface}, at_path::old_cache, 1, "", kNoBackend},
    // "WE" registers itself from a start-up initialiser in the product; were
    // that lost at link time, these runs would end with "Could not get
    // backend". The failed scan leaves no cache; without one, -c scans; a
    // cached run on a missing interface finds no association to refresh and
    // prints the cache as it stands.
    {{"-b", "WE", "-i", kNoInterface}, at_path::old_cache, 0, kError, "", false},
    {{"-i", kNoInterface}, at_path::old_cache, 0, kError, "", false},  // the default backend
    {{"-c", "-r", "--interface", kNoInterface}, at_path::old_cache, 0, kError, "", false},
    {{"-c", "-i", kNoInterface}, at_path::none, 0, kError, "", false},
    {{"-c", "-i", kNoInterface}, at_path::old_cache, 0, "ESSID:old,Ad-Hoc,WEP,3,20 %,", ""},
#if LUMRA_HAVE_NL80211
    // "NL80211" is linked in and fails as "WE" does, also on an interface that
    // is no nl80211 interface (or a kernel without nl80211).
    {{"-b", "NL80211", "-i", kNoInterface}, at_path::old_cache, 0, kError, "", false},
    {{"-b", "NL80211", "-i", "lo"}, at_path::old_cache, 0, kError, "", false},
    {{"-b", "NL80211", "-c", "-i", kNoInterface},
     at_path::old_cache,
     0,
     "ESSID:old,Ad-Hoc,WEP,3,20 %,",
     ""},
#endif
    // A cache path that cannot be used; a missing directory is never created.
    {{"-i", kNoInterface}, at_path::no_directory, 1, "", kNoDir},
    {{"-c", "-i", kNoInterface}, at_path::no_directory, 1, "", kNoDir},
    {{"-r", "-i", kNoInterface}, at_path::no_directory, 1, "", kNoDir},
};

TEST_F(LumraBinary, Runs) {
  for (const binary_case &c : kBinaryCases) {
    SCOPED_TRACE(testing::PrintToString(c.args) + " at_path " +
                 std::to_string(static_cast<int>(c.before)));
    set_cache(c.before == at_path::old_cache ? std::optional(kOldCache) : std::nullopt);
    if (c.before == at_path::no_directory) {
      unlink((g_cache + ".lock").c_str());
      ASSERT_EQ(rmdir(cache_dir().c_str()), 0) << strerror(errno);
    }
    proc_result r = spawn_lumra(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(c.out_is_start ? r.out.substr(0, c.out.size()) : r.out, c.out);
    EXPECT_EQ(r.out.empty(), c.out.empty());
    EXPECT_EQ(r.err, c.err);
    struct stat st;
    if (c.before == at_path::no_directory) {
      EXPECT_NE(stat(cache_dir().c_str(), &st), 0);
      ASSERT_EQ(mkdir(cache_dir().c_str(), 0755), 0);
    } else {
      EXPECT_EQ(cache_bytes(), c.cache_kept && c.before == at_path::old_cache
                                   ? std::optional(kOldCache)
                                   : std::nullopt);
    }
  }
}

TEST_F(LumraBinary, StdoutOnFullDevice) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  proc_result r = spawn_lumra({"-i", kNoInterface}, "/dev/full");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
