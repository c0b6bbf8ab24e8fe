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

network_entry associated(network_entry e, const char *rate) {
  e.current = 1;
  snprintf(e.bitrate, sizeof e.bitrate, "%s", rate);
  return e;
}

const std::string kHomeCache = "ESSID:home%20net,00:11:22:33:44:55,Master,WPA2-PSK/WPS,6,70 %,";
const std::string kCafeCache = "ESSID:cafe%2cfree,66:77:88:99:aa:bb,Master,off,11,40 %,";
const std::string kMeshCache = "ESSID:mesh,02:00:00:00:00:01,Ad-Hoc,,1,5 %,";
const std::string kOldCache = "ESSID:old,0a:0b:0c:0d:0e:0f,Ad-Hoc,WEP,3,20 %,";

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

struct mode_case {
  const char *name;
  std::vector<std::string> args;
  std::optional<std::string> cache_before;
  bool cached;  // a cached run is expected, else a refresh run
  bool encoded;
};

const std::string kGoodCache = kHomeCache + kCafeCache;

const mode_case kModeCases[] = {
    {"no mode option, no cache", {"-b", "TEST"}, std::nullopt, false, false},
    {"no mode option, old cache", {"-b", "TEST"}, kOldCache, false, false},
    {"no mode option, good cache", {"--backend=TEST"}, kGoodCache, false, false},
    {"-r", {"-b", "TEST", "-r"}, kGoodCache, false, false},
    {"-r -r", {"-r", "-b", "TEST", "-r"}, kGoodCache, false, false},
    {"-c -r", {"-b", "TEST", "-c", "-r"}, kGoodCache, false, false},
    {"-r -c", {"-b", "TEST", "-r", "-c"}, kGoodCache, false, false},
    {"-rc bundled", {"-bTEST", "-rc"}, kGoodCache, false, false},
    {"--cached --refresh",
     {"--backend", "TEST", "--cached", "--refresh"},
     kGoodCache,
     false,
     false},
    {"-c", {"-b", "TEST", "-c"}, kGoodCache, true, false},
    {"-c -c", {"-c", "-b", "TEST", "-c"}, kGoodCache, true, false},
    {"--cached", {"--backend=TEST", "--cached"}, kGoodCache, true, false},
    {"-c without a cache file", {"-b", "TEST", "-c"}, std::nullopt, false, false},
    {"-e", {"-b", "TEST", "-e"}, kOldCache, false, true},
    {"--encode with -c", {"-b", "TEST", "--encode", "-c"}, kGoodCache, true, true},
    {"-ce bundled", {"-bTEST", "-ce"}, kGoodCache, true, true},
};

TEST_F(LumraRun, RunModes) {
  for (const mode_case &c : kModeCases) {
    SCOPED_TRACE(c.name);
    SetUp();
    set_cache(c.cache_before);
    run_result r = run(c.args);
    const test_script &s = test_backend();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(s.creates, 1);
    EXPECT_EQ(s.destroys, 1);
    if (c.cached) {
      EXPECT_EQ(s.scans, 0);
      EXPECT_EQ(s.currents, 1);
      EXPECT_EQ(s.entries_at_current, 2);  // the cache was loaded first
      EXPECT_EQ(r.out, c.encoded ? kCachedOutEncoded : kCachedOut);
      EXPECT_EQ(cache_bytes(), c.cache_before);  // nothing added: file untouched
    } else {
      EXPECT_EQ(s.scans, 1);
      EXPECT_EQ(s.currents, 0);
      EXPECT_EQ(r.out, c.encoded ? kScanOutEncoded : kScanOut);
      EXPECT_EQ(cache_bytes(), kGoodCache);
    }
  }
}

TEST_F(LumraRun, CachedRunOnEmptyCachePrintsNothing) {
  set_cache("");
  run_result r = run({"-b", "TEST", "-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test_backend().currents, 1);
  EXPECT_EQ(test_backend().entries_at_current, 0);
  EXPECT_EQ(cache_bytes(), "");
}

TEST_F(LumraRun, InterfaceDefaultsToEth1) {
  run({"-b", "TEST"});
  ASSERT_NE(test_backend().ifname, nullptr);
  EXPECT_STREQ(test_backend().ifname, "eth1");
}

TEST_F(LumraRun, LastOptionArgumentWinsAndIsBorrowed) {
  run({"-b", "NONE", "-i", "wlan0", "-b", "TEST", "--interface", "wlan1"});
  EXPECT_EQ(test_backend().creates, 1);
  EXPECT_EQ(test_backend().ifname, args_[9].data());

  run({"--interface=wlan2", "--backend=TEST"});
  EXPECT_EQ(test_backend().ifname, args_[2].data() + strlen("--interface="));
}

TEST_F(LumraRun, ScanFailurePrintsErrorLineAndLeavesNoCache) {
  set_cache(kOldCache);
  test_backend().scan_result = -1;  // after appending part of a result
  run_result r = run({"-b", "TEST"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kError);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test_backend().destroys, 1);
  EXPECT_EQ(cache_bytes(), std::nullopt);

  // The next cached run finds no cache and scans instead of printing nothing.
  list_clear();  // a new process starts with an empty list
  test_backend().scan_result = 0;
  test_backend().scans = 0;
  run_result next = run({"-b", "TEST", "-c"});
  EXPECT_EQ(test_backend().scans, 1);
  EXPECT_NE(next.out, "");
}

TEST_F(LumraRun, CurrentFailurePrintsErrorLineAndKeepsCache) {
  set_cache(kGoodCache);
  test_script &s = test_backend();
  s.current_result = -1;
  s.current_entries = {kMesh};
  s.added = 1;
  run_result r = run({"-b", "TEST", "-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kError);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(s.destroys, 1);
  EXPECT_EQ(cache_bytes(), kGoodCache);
}

TEST_F(LumraRun, MalformedCachePrintsErrorLine) {
  const std::string bad[] = {
      "garbage",
      "ESSID:",
      " " + kGoodCache,
      kHomeCache + "ESSID:",
      "ESSID:x,02:00:00:00:00:01,,,1,101 %,",
  };
  for (const std::string &bytes : bad) {
    SCOPED_TRACE(bytes);
    SetUp();
    set_cache(bytes);
    run_result r = run({"-b", "TEST", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kError);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test_backend().currents, 0);
    EXPECT_EQ(test_backend().destroys, 1);
    EXPECT_EQ(cache_bytes(), bytes);
  }
}

// An ESSID one byte too long makes the encoding writer fail after the earlier
// records have gone out.
const network_entry kTooLong = test_entry(std::string(33, 'x'), "02:00:00:00:00:02", "", {}, 1, 1);

TEST_F(LumraRun, RefreshCacheWriterFailureLeavesNoCache) {
  set_cache(kOldCache);
  test_backend().scan_entries = {kHome, kTooLong};
  run_result r = run({"-b", "TEST"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kError);  // nothing printed before it
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test_backend().destroys, 1);
  EXPECT_EQ(cache_bytes(), std::nullopt);

  // With no cache to misread, the next cached run scans afresh.
  SetUp();
  run_result next = run({"-b", "TEST", "-c"});
  EXPECT_EQ(next.out, kScanOut);
  EXPECT_EQ(test_backend().scans, 1);
  EXPECT_EQ(cache_bytes(), kGoodCache);
}

TEST_F(LumraRun, RefreshCacheStreamFailureLeavesNoCache) {
  set_cache(kOldCache);
  run_result r{};
  {
    // Room for a part of the cache text only, as on a full disk.
    file_size_limit limit(kGoodCache.size() / 2);
    ASSERT_TRUE(limit.ok());
    r = run({"-b", "TEST"});
  }
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kError);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test_backend().destroys, 1);
  EXPECT_EQ(cache_bytes(), std::nullopt);
}

TEST_F(LumraRun, StdoutFailurePartWayEndsWithErrorLine) {
  for (size_t cut : {size_t{0}, size_t{20}, kScanOut.size() - 1}) {
    SCOPED_TRACE(cut);
    SetUp();
    run_result r = run({"-b", "TEST"}, cut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kScanOut.substr(0, cut) + kError);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cache_bytes(), kGoodCache);  // the cache was written before
  }
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

TEST_F(LumraRun, StdoutWriterFailureFollowsEarlierRecords) {
  set_cache(kGoodCache);
  test_script &s = test_backend();
  s.current_entries = {kTooLong};
  s.added = 1;
  s.refresh_live = false;
  run_result r = run({"-b", "TEST", "-c", "-e"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "ESSID:home%20net,Master,WPA2-PSK/WPS,6,70 %,"
            "ESSID:cafe%2cfree,Master,off,11,40 %," +
                kError);
  EXPECT_EQ(r.err, "");
  // The rewrite failed on the same entry, so the file is not to be trusted.
  EXPECT_EQ(cache_bytes(), std::nullopt);
}

TEST_F(LumraRun, CachedRunRewritesCacheWhenEntryAdded) {
  set_cache(kGoodCache);
  test_script &s = test_backend();
  s.current_entries = {kMesh};
  s.added = 1;
  s.live = {"02:00:00:00:00:01", "11 Mbit/s", 9, 2};
  run_result r = run({"-b", "TEST", "-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "ESSID:home net,Master,WPA2-PSK/WPS,6,70 %,"
            "ESSID:cafe,free,Master,off,11,40 %,"
            "ESSID:mesh,Ad-Hoc,,2,9 %,11 Mbit/s,");
  EXPECT_EQ(cache_bytes(), kHomeCache + kCafeCache + "ESSID:mesh,02:00:00:00:00:01,Ad-Hoc,,2,9 %,");
}

TEST_F(LumraRun, CachedRewriteLeavesNoStaleTail) {
  // Accepted by the reader but never written: bit-rate pieces and text
  // between a channel and its comma. The rewrite is shorter than this.
  const std::string before =
      "ESSID:home%20net,00:11:22:33:44:55,Master,WPA2-PSK/WPS,6 at 2437 MHz seen twice,70 %,"
      "54 Mbit/s,ESSID:cafe%2cfree,66:77:88:99:aa:bb,Master,off,11 at 2462 MHz,40 %,48 Mbit/s,";
  const std::string after = kHomeCache + kCafeCache + kMeshCache;
  ASSERT_LT(after.size(), before.size());
  set_cache(before);
  test_script &s = test_backend();
  s.current_entries = {kMesh};
  s.added = 1;
  s.refresh_live = false;
  run_result r = run({"-b", "TEST", "-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "ESSID:home net,Master,WPA2-PSK/WPS,6,70 %,"
            "ESSID:cafe,free,Master,off,11,40 %,"
            "ESSID:mesh,Ad-Hoc,,1,5 %,");
  EXPECT_EQ(cache_bytes(), after);
}

TEST_F(LumraRun, CachedRunWithoutAdditionLeavesCacheAlone) {
  const std::string before =
      kHomeCache + "ESSID:cafe%2cfree,66:77:88:99:aa:bb,Master,off,11 MHz,40 %,";
  set_cache(before);
  test_backend().current_entries = {kMesh};  // appended, yet not reported as added
  run_result r = run({"-b", "TEST", "-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kCachedOut + "ESSID:mesh,Ad-Hoc,,1,5 %,");
  EXPECT_EQ(cache_bytes(), before);
}

// A rewrite that fails part-way (here on a file size limit, as on a full
// disk): the list is printed all the same, and no cache is left.
TEST_F(LumraRun, CachedRewriteToFullDiskDropsCache) {
  set_cache(kGoodCache);
  test_script &s = test_backend();
  s.current_entries = {kMesh};
  s.added = 1;
  s.live = {"02:00:00:00:00:01", "11 Mbit/s", 9, 2};
  run_result r{};
  {
    file_size_limit limit(kGoodCache.size());  // the old cache fits, the new one not
    ASSERT_TRUE(limit.ok());
    r = run({"-b", "TEST", "-c"});
  }
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "ESSID:home net,Master,WPA2-PSK/WPS,6,70 %,"
            "ESSID:cafe,free,Master,off,11,40 %,"
            "ESSID:mesh,Ad-Hoc,,2,9 %,11 Mbit/s,");
  EXPECT_EQ(cache_bytes(), std::nullopt);
  struct stat st;
  EXPECT_NE(lstat((g_cache + ".new").c_str(), &st), 0);
}

// The cache is never read or written through a symlink: a cached run takes
// one for a malformed cache and leaves it and its target alone; a refresh
// replaces the link itself with the new cache.
TEST_F(LumraRun, SymlinkAtCachePath) {
  const std::string target = cache_dir() + "/target";
  const std::string targets[] = {"/dev/full", "/dev/zero", target};
  write_file(target, kOldCache);
  for (const std::string &to : targets) {
    SCOPED_TRACE(to);
    SetUp();
    ASSERT_EQ(symlink(to.c_str(), g_cache.c_str()), 0) << strerror(errno);
    test_script &s = test_backend();
    s.current_entries = {kMesh};
    s.added = 1;
    run_result r = run({"-b", "TEST", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kError);
    EXPECT_EQ(s.currents, 0);
    char link[256] = {};
    EXPECT_EQ(readlink(g_cache.c_str(), link, sizeof link - 1), static_cast<ssize_t>(to.size()));
    EXPECT_EQ(link, to);

    r = run({"-b", "TEST"});
    EXPECT_EQ(r.out, kScanOut);
    struct stat st;
    ASSERT_EQ(lstat(g_cache.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(cache_bytes(), kGoodCache);
  }
  EXPECT_EQ(read_file(target), kOldCache);
  unlink(target.c_str());
}

using LumraRunDeathTest = LumraRun;

TEST_F(LumraRunDeathTest, FatalStartErrors) {
  set_cache(kOldCache);
  EXPECT_EXIT(call({"-b", "TEST", "-x"}), ::testing::ExitedWithCode(1), "^unknown option\n$");
  EXPECT_EXIT(call({"-b", "TEST", "-i"}), ::testing::ExitedWithCode(1), "^unknown option\n$");
  EXPECT_EXIT(call({"-b", "NONE"}), ::testing::ExitedWithCode(1), "^Could not get backend\n\n$");
  test_backend().create_fails = true;
  EXPECT_EXIT(call({"-b", "TEST", "-c"}), ::testing::ExitedWithCode(1),
              "^Could not get backend\n\n$");
  EXPECT_EQ(cache_bytes(), kOldCache);  // none of them touched the cache
}

TEST_F(LumraRunDeathTest, CacheThatCannotBeOpened) {
  ASSERT_EQ(mkdir(g_cache.c_str(), 0755), 0) << strerror(errno);
  EXPECT_EXIT(call({"-b", "TEST"}), ::testing::ExitedWithCode(1),
              "^no cache file: Is a directory\n$");
  EXPECT_EXIT(call({"-b", "TEST", "-c"}), ::testing::ExitedWithCode(1),
              "^no cache file: Is a directory\n$");
  rmdir(g_cache.c_str());
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
int refuse(backend_ctx *ctx) {
  ++g_refusals;
  diag_fail(0, "no Wireless Extensions on %s", ctx->ifname);
  ctx->unserved = g_refuse_unserved ? 1 : 0;
  return -1;
}
int refuse_current(backend_ctx *ctx, int *added) {
  *added = 0;
  return refuse(ctx);
}
const backend_ops kRefusing = {refusing_create, refusing_destroy, refuse, refuse_current};

TEST_F(LumraRun, OtherBackendServesWhereTheDefaultCannot) {
  backend_internal::scoped_registry registry;
  ASSERT_EQ(backend_register(LUMRA_DEFAULT_BACKEND, &kRefusing), 0);
  ASSERT_EQ(backend_register(LUMRA_FALLBACK_BACKEND, test_backend_ops()), 0);
  const std::string other = LUMRA_FALLBACK_BACKEND;
  const std::string by = "lumra: " + other + " on eth1, ";
  const std::string no_we = "lumra: no Wireless Extensions on eth1";
  const struct {
    std::vector<std::string> args;
    bool unserved;
    int other_result;
    std::string out;
    std::string err;  // the start of standard error
    int other_runs;
    int entries_at_current;  // the cache's two, untouched by the refusal
  } cases[] = {
      {{"-v"}, true, 0, kScanOut, by + "refresh run: 2 ", 1, -1},
      {{"-v", "-c"}, true, 0, kCachedOut, by + "cached run: 2 ", 1, 2},
      {{"-v"}, true, -1, kError, no_we + "; " + other + ": eth1: the scan failed\n", 1, -1},
      {{"-v", "-b", LUMRA_DEFAULT_BACKEND}, true, 0, kError, no_we + "\n", 0, -1},
      {{"-v"}, false, 0, kError, no_we + "\n", 0, -1},  // another failure
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.err);
    SetUp();
    set_cache(kGoodCache);
    g_refuse_unserved = c.unserved;
    g_refusals = 0;
    test_backend().scan_result = test_backend().current_result = c.other_result;
    run_result r = run(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(g_refusals, 1);
    EXPECT_EQ(test_backend().scans + test_backend().currents, c.other_runs);
    EXPECT_EQ(test_backend().entries_at_current, c.entries_at_current);
  }
}
#endif

TEST(TestBackend, RegisteredAtStartUp) {
  backend_ctx *ctx = backend_open(kTestBackend, "wlan9");
  ASSERT_NE(ctx, nullptr);
  EXPECT_STREQ(ctx->ifname, "wlan9");
  ctx->ops->destroy(ctx);
}

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

TEST_F(LumraBinary, UnknownOptionOrMissingArgument) {
  const std::vector<std::string> cases[] = {
      {"-x"},       {"--bogus"},     {"-b"},           {"--backend"},
      {"-c", "-i"}, {"--interface"}, {"--cached=yes"}, {"-b", "WE", "-q", "-r"},
  };
  set_cache(kOldCache);
  for (const std::vector<std::string> &args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    proc_result r = spawn_lumra(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "unknown option\n");
    EXPECT_EQ(cache_bytes(), kOldCache);
  }
}

TEST_F(LumraBinary, HelpVersionAndStrayArguments) {
  const std::string kStray = "\": the interface is given with -i\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // its start
    std::string err;
  } cases[] = {
      {{"-h"},
       0,
       "Usage: lumra [-b BACKEND] [-i INTERFACE] [-f FILE] [-c] [-r] [-e] [-s] [-j] [-v]\n",
       ""},
      {{"-c", "--help", "-x"}, 0, "Usage: lumra ", ""},
      {{"-V"},
       0,
       "lumra " LUMRA_VERSION "\nbackends: " LUMRA_BUILT_BACKENDS " (default " LUMRA_DEFAULT_BACKEND
       ")\n",
       ""},
      {{"--version"}, 0, "lumra " LUMRA_VERSION "\n", ""},
      {{"wlan0"}, 1, "", "unexpected argument \"wlan0" + kStray},
      {{"-c", "-b", "TEST", "wlan1", "x"}, 1, "", "unexpected argument \"wlan1" + kStray},
      {{"--", "-c"}, 1, "", "unexpected argument \"-c" + kStray},
  };
  set_cache(kOldCache);
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    proc_result r = spawn_lumra(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(r.out.empty(), c.out.empty());
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(cache_bytes(), kOldCache);
  }
}

TEST_F(LumraBinary, UnregisteredBackend) {
  const std::vector<std::string> cases[] = {
      {"-b", "XX"},
      {"-b", "we"},
      {"--backend="},
      {"-c", "--backend", "WEX", "-i", kNoInterface},
  };
  for (const std::optional<std::string> &before :
       {std::optional<std::string>{}, std::optional{kOldCache}}) {
    set_cache(before);
    for (const std::vector<std::string> &args : cases) {
      SCOPED_TRACE(testing::PrintToString(args));
      proc_result r = spawn_lumra(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "Could not get backend\n\n");
      EXPECT_EQ(cache_bytes(), before);
    }
  }
}

// "WE" registers itself from a start-up initialiser in the product; were
// that lost at link time, these runs would end with "Could not get backend".
TEST_F(LumraBinary, WirelessExtensionsBackendIsLinkedIn) {
  const std::vector<std::string> cases[] = {
      {"-b", "WE", "-i", kNoInterface},
      {"-i", kNoInterface},  // the default backend
      {"-c", "-r", "--interface", kNoInterface},
  };
  for (const std::vector<std::string> &args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    set_cache(kOldCache);
    proc_result r = spawn_lumra(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kError);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cache_bytes(), std::nullopt);  // the failed scan leaves no cache
  }
  // Without a cache file, -c scans.
  set_cache(std::nullopt);
  proc_result r = spawn_lumra({"-c", "-i", kNoInterface});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kError);
  EXPECT_EQ(cache_bytes(), std::nullopt);
}

#if LUMRA_HAVE_NL80211
// "NL80211" is linked in and fails as "WE" does: a missing interface and one
// that is no nl80211 interface (or a kernel without nl80211) give the error
// line and leave no cache; a cached run on a missing interface prints the
// cache as it stands.
TEST_F(LumraBinary, Nl80211BackendIsLinkedIn) {
  const std::vector<std::string> cases[] = {
      {"-b", "NL80211", "-i", kNoInterface},
      {"-b", "NL80211", "-i", "lo"},
  };
  for (const std::vector<std::string> &args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    set_cache(kOldCache);
    proc_result r = spawn_lumra(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kError);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cache_bytes(), std::nullopt);
  }
  set_cache(kOldCache);
  proc_result r = spawn_lumra({"-b", "NL80211", "-c", "-i", kNoInterface});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ESSID:old,Ad-Hoc,WEP,3,20 %,");
  EXPECT_EQ(cache_bytes(), kOldCache);
}
#endif

// A cached run on an interface that does not exist: the association query
// finds nothing to refresh, so the cache is printed as it stands.
TEST_F(LumraBinary, CachedRunWithoutAssociation) {
  set_cache(kOldCache);
  proc_result r = spawn_lumra({"-c", "-i", kNoInterface});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ESSID:old,Ad-Hoc,WEP,3,20 %,");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(cache_bytes(), kOldCache);
}

TEST_F(LumraBinary, MissingCacheDirectory) {
  ASSERT_EQ(rmdir(cache_dir().c_str()), 0) << strerror(errno);
  const std::vector<std::string> cases[] = {
      {"-i", kNoInterface},
      {"-c", "-i", kNoInterface},
      {"-r", "-i", kNoInterface},
  };
  for (const std::vector<std::string> &args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    proc_result r = spawn_lumra(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "no cache file: No such file or directory\n");
    struct stat st;
    EXPECT_NE(stat(cache_dir().c_str(), &st), 0);  // never created
  }
}

TEST_F(LumraBinary, StdoutOnFullDevice) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  proc_result r = spawn_lumra({"-i", kNoInterface}, "/dev/full");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
