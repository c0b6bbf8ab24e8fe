// SPDX-License-Identifier: MIT
// The built program run as a whole process, with the fake driver preloaded.
#include <dirent.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>

#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/lumra.h"
#include "netlist/linefmt.h"
#include "program.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif
#else
constexpr bool kAsan = false;
#endif

std::string read_all(const std::string &path) { return testsupport::read_file(path).value_or(""); }

void write_all(const std::string &path, const std::string &text) {
  EXPECT_TRUE(testsupport::write_file(path, text)) << path;
}

struct Outcome {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
  std::string log;  // the fake driver's call log
};

// Three networks of the refresh run. The associated one (…:02) is WPA2;
// …:03 sits on channel 149, above the 32 channels that the range lists;
// …:04 reports a quality above its maximum; …:05 an RCPI quality that gives
// no percentage.
// One cell of a scenario: channel 0 and an empty quality give no such
// event; elements in hex, separated by spaces.
std::string cell(const std::string &mac, int channel, int mhz, const std::string &qual,
                 const std::string &essid, bool encode, int mode, const std::string &ies = "") {
  std::string s = "\ncell " + mac + "\n";
  if (channel != 0) s += "  channel " + std::to_string(channel) + "\n";
  s += "  freq " + std::to_string(mhz) + "\n";
  if (!qual.empty()) s += "  qual " + qual + "\n";
  s += "  essid \"" + essid + "\"\n  encode " + (encode ? "on" : "off") + "\n  mode " +
       std::to_string(mode) + "\n";
  std::istringstream in(ies);
  for (std::string ie; in >> ie;) s += "  ie " + ie + "\n";
  return s;
}

const char *const kRsnPsk = "30140100000fac040100000fac040100000fac020c00";
const std::string kCells =
    cell("02:00:00:00:00:01", 1, 2412, "35 181 0 0x2b", "cafe, open", false, 3) +
    cell("02:00:00:00:00:02", 6, 2437, "60 206 0 0x2b", "home", true, 3, kRsnPsk) +
    cell("02:00:00:00:00:03", 149, 5745, "20 166 0 0x2b", "office", true, 1,
         "dd160050f20101000050f20201000050f20201000050f202 dd0e0050f204104a0001101044000102") +
    cell("02:00:00:00:00:04", 0, 2462, "200 206 0 0x2b", "old", true, 2) +
    cell("02:00:00:00:00:05", 36, 5180, "50 100 0 0x80", "", false, 3) +
    cell("02:00:00:00:00:06", 149, 5745, "63 200 0 0x2b", "new net", true, 3, kRsnPsk);

// An interface's settings when associated; an empty link gives no statistics
// line.
std::string associated(const std::string &essid, const std::string &ap, int mhz,
                       const std::string &rate, const std::string &link) {
  return "  essid \"" + essid + "\"\n  ap " + ap + "\n  freq " + std::to_string(mhz) + "\n  rate " +
         rate + "\n" + (link.empty() ? "" : "  link " + link + "\n");
}

// Five fetch steps, one for each pass of a refresh.
std::string five_fetches(const std::string &step) {
  std::string s;
  for (int i = 0; i < 5; ++i) s += "  fetch " + step + "\n";
  return s;
}

std::string interface_lines(const std::string &extra) { return "interface wlan0\n" + extra + "\n"; }

// Associated with "home" at 54 Mbit/s.
const std::string kHome = associated("home", "02:00:00:00:00:02", 2437, "54000000", "61 0 0 0x01");

// The refresh run sees cells 1 to 5 (the fetches name them); a directed scan
// of a later run gets every cell.
const std::string kRefreshScenario =
    interface_lines(kHome + five_fetches("results 1 2 3 4 5")) + kCells;

const std::string kRefreshCache =
    "ESSID:cafe%2c%20open,02:00:00:00:00:01,Master,off,1,50 %,"
    "ESSID:home,02:00:00:00:00:02,Master,WPA2-PSK,6,85 %,"
    "ESSID:office,02:00:00:00:00:03,Ad-Hoc,WPA-PSK/WPS,149,28 %,"
    "ESSID:old,02:00:00:00:00:04,Master,WEP,11,100 %,"
    "ESSID:,02:00:00:00:00:05,Master,off,36,0 %,";

const std::string kRefreshOutput =
    "ESSID:cafe, open,Master,off,1,50 %,"
    "ESSID:home,Master,WPA2-PSK,6,85 %,54 Mbit/s,"
    "ESSID:office,Ad-Hoc,WPA-PSK/WPS,149,28 %,"
    "ESSID:old,Master,WEP,11,100 %,"
    "ESSID:,Master,off,36,0 %,";

// Cached runs: associated with "home" (in every cache below), so they only
// read; and associated with "new net", missing from kRefreshCache, so a
// directed scan adds it and the cache is rewritten.
const std::string kLater =
    interface_lines(associated("home", "02:00:00:00:00:02", 2462, "65000000", "55 0 0 0x01")) +
    kCells;
const std::string kLaterOut =
    "ESSID:cafe, open,Master,off,1,50 %,"
    "ESSID:home,Master,WPA2-PSK,11,55 %,65 Mbit/s,"
    "ESSID:office,Ad-Hoc,WPA-PSK/WPS,149,28 %,"
    "ESSID:old,Master,WEP,11,100 %,"
    "ESSID:,Master,off,36,0 %,";
const std::string kMoved =
    interface_lines(associated("new net", "02:00:00:00:00:06", 5745, "300000000", "40 0 0 0x01")) +
    kCells;
const std::string kMovedOut =
    "ESSID:cafe, open,Master,off,1,50 %,"
    "ESSID:home,Master,WPA2-PSK,6,85 %,"
    "ESSID:office,Ad-Hoc,WPA-PSK/WPS,149,28 %,"
    "ESSID:old,Master,WEP,11,100 %,"
    "ESSID:,Master,off,36,0 %,"
    "ESSID:new net,Master,WPA2-PSK,149,40 %,300 Mbit/s,";
const std::string kMovedCache =
    kRefreshCache + "ESSID:new%20net,02:00:00:00:00:06,Master,WPA2-PSK,149,40 %,";

std::set<std::string> dir_names(const std::string &dir) {
  std::set<std::string> out;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (const dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out.insert(n);
  }
  closedir(d);
  return out;
}

// The files of a cache directory but the lock file, which stays once made.
std::set<std::string> cache_files(const std::string &dir) {
  std::set<std::string> names = dir_names(dir);
  names.erase("lumra.lock");
  return names;
}

size_t count_lines(const std::string &log, const std::string &needle) {
  size_t n = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    if (line.find(needle) != std::string::npos) n++;
  return n;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::lumra_starts())
      GTEST_SKIP() << LUMRA_BINARY << " cannot be started on this machine";
    // The cache alone in its directory; the scenarios and logs beside it.
    cache_dir_ = scratch_.path() + "/cache";
    mkdir(cache_dir_.c_str(), 0755);
    cache_ = cache_dir_ + "/lumra";
    work_ = scratch_.path();
  }

  // The environment of a run under the fake driver with this scenario file.
  std::vector<std::string> fake_env(const std::string &scenario_path, const std::string &log_path,
                                    long time_scale = 0) {
    std::vector<std::string> env =
        testsupport::environment_without({"LD_PRELOAD=", "FAKEWEXT_", "ASAN_OPTIONS="});
    env.push_back(std::string("LD_PRELOAD=") + FAKEWEXT_PRELOAD);
    env.push_back("FAKEWEXT_SCENARIO=" + scenario_path);
    if (!log_path.empty()) env.push_back("FAKEWEXT_LOG=" + log_path);
    if (time_scale > 0) env.push_back("FAKEWEXT_TIME_SCALE=" + std::to_string(time_scale));
    if (kAsan) {
      // The preloaded driver comes before the sanitizer's runtime in the
      // library list; the runtime still finds the calls it wraps.
      const char *asan = getenv("ASAN_OPTIONS");
      env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                    ":verify_asan_link_order=0");
    }
    return env;
  }

  Outcome run(const std::string &scenario, std::vector<std::string> args,
              testsupport::program_options options = {}) {
    Outcome r;
    write_all(work_ + "/scenario", scenario);
    unlink((work_ + "/log").c_str());
    std::vector<std::string> env = fake_env(work_ + "/scenario", work_ + "/log");
    options.env = &env;
    args.insert(args.begin(), {LUMRA_BINARY, "-f", cache_});
    testsupport::program_result p = testsupport::run_program(args, options);
    r.status = p.status;
    r.out = p.out;
    r.err = p.err;
    r.log = read_all(work_ + "/log");
    return r;
  }

  // Starts lumra in the background on a scenario file of its own, its waits
  // really passing at 1/time_scale of their virtual time.
  testsupport::started_program start(const std::string &tag, const std::string &scenario,
                                     std::vector<std::string> args, long time_scale,
                                     bool with_log = false, bool close_stdout = false) {
    std::string path = work_ + "/" + tag + ".scn";
    std::string log = with_log ? work_ + "/" + tag + ".log" : "";
    write_all(path, scenario);
    if (with_log) unlink(log.c_str());
    std::vector<std::string> env = fake_env(path, log, time_scale);
    testsupport::program_options options;
    options.env = &env;
    options.close_stdout = close_stdout;
    args.insert(args.begin(), {LUMRA_BINARY, "-f", cache_});
    return testsupport::start_program(args, options);
  }

  std::string cache() { return read_all(cache_); }

  // Where the cache may be read but not replaced: cached runs print their
  // lists all the same (a rewrite they cannot do is left undone), and a
  // refresh, which could not commit, fails before its scan with refresh_err
  // (none: not tried). The cache stays as the refresh before wrote it.
  void expect_cache_not_replaced(const testsupport::program_options &options,
                                 const char *refresh_err) {
    Outcome reads = run(kLater, {"-c", "-i", "wlan0"}, options);
    EXPECT_EQ(reads.status, 0) << reads.err;
    EXPECT_EQ(reads.err, "");
    EXPECT_EQ(reads.out, kLaterOut);
    Outcome adds = run(kMoved, {"-c", "-i", "wlan0"}, options);
    EXPECT_EQ(adds.status, 0) << adds.err;
    EXPECT_EQ(adds.out, kMovedOut);
    EXPECT_EQ(cache(), kRefreshCache);
    if (refresh_err == nullptr) return;
    Outcome refresh = run(kRefreshScenario, {"-i", "wlan0"}, options);
    EXPECT_EQ(refresh.status, 1);
    EXPECT_EQ(refresh.out, "");
    EXPECT_EQ(refresh.err, refresh_err);
    EXPECT_EQ(count_lines(refresh.log, "SIOCSIWSCAN"), 0u);
    EXPECT_EQ(cache(), kRefreshCache);
  }

  testsupport::scratch_dir scratch_;
  std::string cache_dir_;
  std::string cache_;
  std::string work_;
};

TEST_F(EndToEnd, RefreshThenCachedRun) {
  Outcome refresh = run(kRefreshScenario, {"-i", "wlan0"});
  EXPECT_EQ(refresh.status, 0) << refresh.err;
  EXPECT_EQ(refresh.out, kRefreshOutput);
  EXPECT_EQ(refresh.err, "");
  EXPECT_EQ(cache(), kRefreshCache);

  // The association has moved on: new rate, quality and channel. The access
  // point is in the cache, so the cache is left as the refresh wrote it.
  Outcome cached = run(kLater, {"-c", "-e", "-i", "wlan0"});
  EXPECT_EQ(cached.status, 0) << cached.err;
  EXPECT_EQ(cached.out,
            "ESSID:cafe%2c%20open,Master,off,1,50 %,"
            "ESSID:home,Master,WPA2-PSK,11,55 %,65 Mbit/s,"
            "ESSID:office,Ad-Hoc,WPA-PSK/WPS,149,28 %,"
            "ESSID:old,Master,WEP,11,100 %,"
            "ESSID:,Master,off,36,0 %,");
  EXPECT_EQ(cache(), kRefreshCache);
  EXPECT_EQ(count_lines(cached.log, "ioctl SIOCSIWSCAN"), 0u);
  EXPECT_EQ(count_lines(cached.log, "poll"), 0u);
}

TEST_F(EndToEnd, CachedRunAddsTheMissingNetwork) {
  write_all(cache_, kRefreshCache);
  Outcome cached = run(kMoved, {"-c", "-i", "wlan0"});
  EXPECT_EQ(cached.status, 0) << cached.err;
  EXPECT_EQ(cached.out, kMovedOut);
  EXPECT_EQ(cache(), kMovedCache);
}

// ---------------------------------------------------------------- the cache
// file under concurrent runs and unusual settings. Waits really pass,
// scaled down by the fake driver: a refresh run's 9.25 s of waits take
// 0.925 s at scale 10.

constexpr long kScale = 10;

// An earlier list: two networks, "home" among them.
const std::string kOldCache =
    "ESSID:home,02:00:00:00:00:02,Master,WPA2-PSK,6,85 %,"
    "ESSID:gone,02:00:00:00:00:09,Master,off,1,10 %,";

// A refresh that sees only cells 2 and 6.
const std::string kOtherScenario = interface_lines(kHome + five_fetches("results 2 6")) + kCells;
const std::string kOtherCache =
    "ESSID:home,02:00:00:00:00:02,Master,WPA2-PSK,6,85 %,"
    "ESSID:new%20net,02:00:00:00:00:06,Master,WPA2-PSK,149,90 %,";

void sleep_ms(long ms) {
  timespec t = {ms / 1000, ms % 1000 * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

using CacheLifeCycle = EndToEnd;

// A refresh commits after its fifth result fetch: fewer in its log, and it
// has not.
bool committed_not_yet(const std::string &log) {
  return count_lines(read_all(log), "ioctl SIOCGIWSCAN wlan0 result=0") < 5;
}

// Waits (boundedly) until a run started with its log asks for a scan: it has
// noted or read the cache by then.
void await_scan_request(const std::string &log) {
  for (int i = 0; i < 10000 && read_all(log).find("SIOCSIWSCAN") == std::string::npos; ++i)
    sleep_ms(1);
}

TEST_F(CacheLifeCycle, CachedRunsDuringARefreshPrintCompleteLists) {
  write_all(cache_, kOldCache);
  const std::string old_out = run(kLater, {"-c", "-i", "wlan0"}).out;
  ASSERT_EQ(old_out, "ESSID:home,Master,WPA2-PSK,11,55 %,65 Mbit/s,ESSID:gone,Master,off,1,10 %,");

  testsupport::started_program refresh =
      start("refresh", kRefreshScenario, {"-i", "wlan0"}, kScale, true);
  ASSERT_TRUE(refresh.running());
  await_scan_request(work_ + "/refresh.log");
  testsupport::program_result done;
  do {
    const std::string out = run(kLater, {"-c", "-i", "wlan0"}).out;
    // Ended before the refresh committed: the old list, else either.
    if (committed_not_yet(work_ + "/refresh.log"))
      EXPECT_EQ(out, old_out);
    else
      EXPECT_TRUE(out == old_out || out == kLaterOut) << out;
  } while (!refresh.poll(done));
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(done.out, kRefreshOutput);
  EXPECT_EQ(cache(), kRefreshCache);
  EXPECT_EQ(cache_files(cache_dir_), std::set<std::string>{"lumra"});
}

// A cached run without a cache scans, and no cache shows until its list is
// complete.
TEST_F(CacheLifeCycle, CachedRunWithoutCacheShowsNoEmptyCache) {
  testsupport::started_program first =
      start("first", kRefreshScenario, {"-c", "-i", "wlan0"}, kScale);
  testsupport::program_result done;
  int looks = 0;
  while (!first.poll(done)) {
    looks++;
    struct stat st;
    if (stat(cache_.c_str(), &st) == 0) {
      EXPECT_EQ(cache(), kRefreshCache);
    }
    sleep_ms(5);
  }
  EXPECT_GE(looks, 10);
  EXPECT_EQ(done.out, kRefreshOutput);
  EXPECT_EQ(cache(), kRefreshCache);
}

// Two refreshes that overlap: each prints its own list; the cache is one of
// them, complete (which one, the cache file's own tests settle without
// depending on the machine's speed).
TEST_F(CacheLifeCycle, OverlappingRefreshesLeaveACompleteCache) {
  ASSERT_EQ(run(kOtherScenario, {"-i", "wlan0"}).status, 0);
  ASSERT_EQ(cache(), kOtherCache);
  for (long gap_ms : {0L, 300L}) {
    SCOPED_TRACE(gap_ms);
    write_all(cache_, kOldCache);
    testsupport::started_program a = start("a", kRefreshScenario, {"-i", "wlan0"}, kScale);
    sleep_ms(gap_ms);
    testsupport::started_program b = start("b", kOtherScenario, {"-i", "wlan0"}, kScale);
    testsupport::program_result ra = a.finish();
    testsupport::program_result rb = b.finish();
    EXPECT_EQ(ra.out, kRefreshOutput);
    EXPECT_EQ(rb.out,
              "ESSID:home,Master,WPA2-PSK,6,85 %,54 Mbit/s,"
              "ESSID:new net,Master,WPA2-PSK,149,90 %,");
    const std::string got = cache();
    EXPECT_TRUE(got == kRefreshCache || got == kOtherCache) << got;
    EXPECT_EQ(cache_files(cache_dir_), std::set<std::string>{"lumra"});
  }
}

// A cached run reads the cache, then a refresh commits while the cached run
// scans for its missing network: the cached run prints its list, and the
// refresh's cache stays.
TEST_F(CacheLifeCycle, CachedRewriteAfterARefreshCommitLeavesTheRefreshCache) {
  write_all(cache_, kRefreshCache);
  ASSERT_EQ(run(kMoved, {"-c", "-i", "wlan0"}).out, kMovedOut);  // alone: the rewrite
  ASSERT_EQ(cache(), kMovedCache);

  write_all(cache_, kRefreshCache);
  // Its directed scan is not ready 20 times: 2.25 s of waits, unscaled,
  // against the refresh's 0.1 s.
  std::string slow_moved = kMoved;
  slow_moved.insert(slow_moved.find("\ncell"), "\n  fetch not-ready 20\n");
  testsupport::started_program cached = start("cached", slow_moved, {"-c", "-i", "wlan0"}, 1, true);
  const std::string log = work_ + "/cached.log";
  await_scan_request(log);
  ASSERT_NE(read_all(log).find("SIOCSIWSCAN"), std::string::npos);
  testsupport::started_program refresh = start("refresh", kOtherScenario, {"-i", "wlan0"}, 100);
  testsupport::program_result rr = refresh.finish();
  testsupport::program_result rc;
  ASSERT_FALSE(cached.poll(rc)) << "the cached run ended before the refresh committed";
  rc = cached.finish();
  EXPECT_EQ(rr.status, 0);
  EXPECT_EQ(rc.status, 0);
  EXPECT_EQ(rc.out, kMovedOut);
  EXPECT_EQ(cache(), kOtherCache);
  EXPECT_EQ(cache_files(cache_dir_), std::set<std::string>{"lumra"});
}

// The other way round: a cached run rewrites the older list while a refresh
// scans, and the refresh's commit replaces that rewrite. Where this machine
// let the refresh commit first, a slower scale is tried.
TEST_F(CacheLifeCycle, RefreshReplacesACachedRewriteMadeWhileItScanned) {
  bool overlapped = false;
  for (long scale : {kScale, 2L}) {
    if (overlapped) break;
    write_all(cache_, kRefreshCache);
    testsupport::started_program refresh =
        start("refresh", kOtherScenario, {"-i", "wlan0"}, scale, true);
    await_scan_request(work_ + "/refresh.log");
    EXPECT_EQ(run(kMoved, {"-c", "-i", "wlan0"}).out, kMovedOut);
    overlapped = cache() == kMovedCache;
    testsupport::program_result r = refresh.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(cache(), kOtherCache);
  }
  EXPECT_TRUE(overlapped) << "no cached run rewrote the cache while the refresh scanned";
}

// Another user may lock the cache directory (or anything it may open) for
// as long as it likes: refreshes and cached rewrites neither wait nor fail.
char g_locked_dir[PATH_MAX];
char g_lock_file[PATH_MAX];
int lock_as_other_user() {
  int dir = open(g_locked_dir, O_RDONLY | O_DIRECTORY);
  if (dir < 0 || open(g_lock_file, O_RDONLY | O_NONBLOCK) >= 0) return 1;
  return flock(dir, LOCK_EX);
}

TEST_F(CacheLifeCycle, AnotherUsersLockDelaysNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to lock as the user nobody";
  ASSERT_EQ(run(kOtherScenario, {"-i", "wlan0"}).out.empty(), false);  // makes the lock file
  snprintf(g_locked_dir, sizeof g_locked_dir, "%s", cache_dir_.c_str());
  snprintf(g_lock_file, sizeof g_lock_file, "%s.lock", cache_.c_str());
  testsupport::program_options nobody;
  nobody.uid = 65534;
  nobody.before_exec = lock_as_other_user;
  testsupport::started_program holder = testsupport::start_program({"/bin/sleep", "600"}, nobody);
  int probe = open(cache_dir_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(probe, 0);
  testsupport::program_result ended;
  while (flock(probe, LOCK_EX | LOCK_NB) == 0) {
    flock(probe, LOCK_UN);
    ASSERT_FALSE(holder.poll(ended)) << "the user nobody locked nothing: " << ended.status;
    sleep_ms(1);
  }
  close(probe);
  Outcome refresh = run(kRefreshScenario, {"-i", "wlan0"});
  EXPECT_EQ(refresh.out, kRefreshOutput);
  Outcome rewrite = run(kMoved, {"-c", "-i", "wlan0"});
  EXPECT_EQ(rewrite.out, kMovedOut);
  EXPECT_EQ(cache(), kMovedCache);
  EXPECT_TRUE(holder.running());
}

TEST_F(CacheLifeCycle, ClosedStandardOutputNeverReachesTheCache) {
  // No call log: the fake driver's log file would take descriptor 1 first.
  testsupport::started_program refresh =
      start("refresh", kRefreshScenario, {"-i", "wlan0"}, 0, false, /*close_stdout=*/true);
  testsupport::program_result r = refresh.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(cache(), kRefreshCache);
  testsupport::started_program cached =
      start("cached", kMoved, {"-c", "-i", "wlan0"}, 0, false, /*close_stdout=*/true);
  r = cached.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(cache(), kMovedCache);
  EXPECT_EQ(run(kLater, {"-c", "-i", "wlan0"}).out,
            kLaterOut + "ESSID:new net,Master,WPA2-PSK,149,40 %,");
}

// A user who may read the cache but not write its directory.
TEST_F(CacheLifeCycle, UnprivilegedCachedRun) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run lumra as the user nobody";
  testsupport::program_options nobody;
  nobody.uid = 65534;
  // A build under a directory closed to others (a clone in /root, say).
  if (testsupport::run_program({LUMRA_BINARY, "--version"}, nobody).status != 0)
    GTEST_SKIP() << "the user nobody cannot start " << LUMRA_BINARY;
  ASSERT_EQ(run(kRefreshScenario, {"-i", "wlan0"}).out, kRefreshOutput);
  expect_cache_not_replaced(nobody, "no cache file: Permission denied\n");
}

// The cache directory mounted read-only, in a mount namespace of the run's
// own.
char ro_dir[PATH_MAX];
int mount_cache_dir_read_only() {
  if (unshare(CLONE_NEWNS) != 0) return -1;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return -1;
  if (mount(ro_dir, ro_dir, nullptr, MS_BIND, nullptr) != 0) return -1;
  return mount(nullptr, ro_dir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
}

TEST_F(CacheLifeCycle, ReadOnlyCacheDirectoryAndImmutableCache) {
  snprintf(ro_dir, sizeof ro_dir, "%s", cache_dir_.c_str());
  ASSERT_EQ(run(kRefreshScenario, {"-i", "wlan0"}).out, kRefreshOutput);
  testsupport::program_options ro;
  ro.before_exec = mount_cache_dir_read_only;
  if (run(kLater, {"-c", "-i", "wlan0"}, ro).status == 126)
    GTEST_SKIP() << "no mount namespace here";
  expect_cache_not_replaced(ro, "no cache file: Read-only file system\n");

  // An immutable cache file in a writable directory.
  int fd = open(cache_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    close(fd);
    GTEST_SKIP() << "no file attributes here";
  }
  int immutable = flags | FS_IMMUTABLE_FL;
  if (ioctl(fd, FS_IOC_SETFLAGS, &immutable) != 0) {
    close(fd);
    GTEST_SKIP() << "cannot make a file immutable here";
  }
  expect_cache_not_replaced({}, nullptr);
  ioctl(fd, FS_IOC_SETFLAGS, &flags);
  close(fd);
}

// A file larger than lumra writes at the cache path: a cached run prints
// the error line without reading it whole, and a refresh replaces it.
TEST_F(CacheLifeCycle, OversizedFilesAtTheCachePath) {
  const std::string dir = cache_dir_;
  for (off_t size : {off_t{1} << 30, off_t{kMaxCacheBytes} + 1}) {
    SCOPED_TRACE(size);
    write_all(cache_, kRefreshCache);  // a valid beginning
    ASSERT_EQ(truncate(cache_.c_str(), size), 0);
    testsupport::started_program cached = start("cached", kLater, {"-c", "-i", "wlan0"}, 0);
    testsupport::program_result r;
    for (int i = 0; i < 10000 && !cached.poll(r); ++i) sleep_ms(1);
    ASSERT_FALSE(cached.running()) << "blocked";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ESSID:error,,,,,");
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.max_rss_kb, 256 * 1024);
    struct stat st;
    ASSERT_EQ(lstat(cache_.c_str(), &st), 0);  // left as it was

    Outcome refresh = run(kRefreshScenario, {"-i", "wlan0"});
    EXPECT_EQ(refresh.out, kRefreshOutput);
    ASSERT_EQ(lstat(cache_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(cache(), kRefreshCache);
    EXPECT_EQ(cache_files(dir), std::set<std::string>{"lumra"});
  }
}

// One cache file per radio (-f, --cache): each interface's runs read and
// write only their own, and -v names it.
TEST_F(EndToEnd, CacheFilePerInterface) {
  const std::string radios =
      kRefreshScenario + "\ninterface wlan1\n" +
      associated("two", "02:00:00:00:00:21", 5180, "6000000", "50 0 0 0x01") +
      cell("02:00:00:00:00:21", 36, 5180, "50 206 0 0x2b", "two", false, 3);
  const std::string two = cache_dir_ + "/wlan1";
  EXPECT_EQ(run(radios, {"-i", "wlan0"}).out, kRefreshOutput);
  EXPECT_EQ(run(radios, {"-i", "wlan1", "--cache", two}).out,
            "ESSID:two,Master,off,36,71 %,6 Mbit/s,");
  EXPECT_EQ(run(radios, {"-c", "-i", "wlan0"}).out,
            kRefreshOutput.substr(0, kRefreshOutput.find("85 %,54")) +
                kRefreshOutput.substr(kRefreshOutput.find("85 %,54")).replace(0, 2, "61"));
  EXPECT_EQ(run(radios, {"-c", "-i", "wlan1", "-f", two}).out,
            "ESSID:two,Master,off,36,50 %,6 Mbit/s,");
  EXPECT_EQ(cache(), kRefreshCache);
  EXPECT_EQ(read_all(two), "ESSID:two,02:00:00:00:00:21,Master,off,36,71 %,");
  write_all(two, "ESSID:two");
  EXPECT_EQ(run(radios, {"-v", "-c", "-i", "wlan1", "-f", two}).err,
            "lumra: " + two + ": malformed record 1 at byte 0\n");
}

// Runs that fail. What fails after start-up exits 0 with the error line; a
// backend that cannot be opened exits 1 with nothing on standard output,
// before any request. A failed refresh leaves no cache file; a cached run
// leaves it as it was. -v adds one line on standard error saying why; without
// it, standard error is silent but for the backend that cannot be opened.
TEST_F(EndToEnd, FailuresAndTheirCauses) {
  const std::string malformed =
      "ESSID:a,02:00:00:00:00:01,Master,,1,50 %,ESSID:b,02:00:00:00:00:02,Master,,6,101 %,";
  // An interface whose name is the first 15 bytes of a longer one.
  const std::string cut_name = kRefreshScenario + "interface abcdefghijklmno\n";
  const std::string not_permitted =
      "lumra: SIOCSIWSCAN on wlan0: Operation not permitted (scanning needs root or "
      "CAP_NET_ADMIN)\n";
  const std::string never_ready = "lumra: scan on wlan0: no result within 15 s\n";
  const std::string version_13 =
      "lumra: wlan0: Wireless Extensions version 13 cannot scan (14 or later needed)\n";
  const std::string no_backend = "Could not get backend\n\n";
  const struct {
    const char *name;
    std::string scenario;
    std::vector<std::string> args;  // with -v
    std::string before;             // the cache file before the run; empty: none
    bool kept;                      // the cache file stays as it was, else none is left
    int status;
    std::string err;  // with -v
  } cases[] = {
      {"scan not permitted",
       interface_lines("  fail SIOCSIWSCAN every EPERM\n") + kCells,
       {"-v", "-i", "wlan0"},
       kRefreshCache,
       false,
       0,
       not_permitted},
      {"third scan refused",
       interface_lines("  fail SIOCSIWSCAN 3 EPERM\n") + kCells,
       {"-v", "-i", "wlan0"},
       kRefreshCache,
       false,
       0,
       not_permitted},
      {"no such interface",
       interface_lines("  fail SIOCGIWNAME every ENODEV\n") + kCells,
       {"-v", "-i", "wlan0"},
       "",
       false,
       0,
       "lumra: wlan0: No such device\n"},
      {"scan from an access point",
       interface_lines("  mode 3\n  fail SIOCSIWSCAN every EOPNOTSUPP\n") + kCells,
       {"-v", "-i", "wlan0"},
       "",
       false,
       0,
       "lumra: SIOCSIWSCAN on wlan0: Operation not supported "
       "(an access point scans only through -b NL80211)\n"},
      {"nl80211, no such interface",
       kRefreshScenario,
       {"-v", "-b", "NL80211", "-i", "lumra-none0"},
       "",
       false,
       0,
       "lumra: lumra-none0: No such device\n"},
      {"nothing found",
       interface_lines("  fetch empty\n") + kCells,
       {"-v", "-i", "wlan0"},
       kRefreshCache,
       false,
       0,
       "lumra: scan on wlan0 found no network\n"},
      {"never ready",
       interface_lines("  fetch not-ready 148\n") + kCells,
       {"--verbose", "-i", "wlan0"},
       kRefreshCache,
       false,
       0,
       never_ready},
      // A driver scanning already (for wpa_supplicant, say) whose scan never
      // delivers.
      {"busy, never ready",
       interface_lines("  fail SIOCSIWSCAN every EBUSY\n  fetch not-ready 100000\n") + kCells,
       {"-v", "-i", "wlan0"},
       "",
       false,
       0,
       never_ready},
      {"too old to scan",
       interface_lines("  we-version 13\n") + kCells,
       {"-v", "-i", "wlan0"},
       kRefreshCache,
       false,
       0,
       version_13},
      {"cached run, too old",
       interface_lines("  we-version 13\n  ap 02:00:00:00:00:02\n") + kCells,
       {"-v", "-c", "-i", "wlan0"},
       kRefreshCache,
       true,
       0,
       "lumra: wlan0: Wireless Extensions version 13 is too old (14 or later needed)\n"},
      {"malformed cache",
       kRefreshScenario,
       {"-v", "-c", "-i", "wlan0"},
       malformed,
       true,
       0,
       "lumra: " + cache_ + ": malformed record 2 at byte 41\n"},
      {"unknown backend",
       kRefreshScenario,
       {"-v", "-b", "we", "-i", "wlan0"},
       kRefreshCache,
       true,
       1,
       no_backend + "lumra: we: no such backend\n"},
      {"empty interface name",
       cut_name,
       {"-v", "-i", ""},
       kRefreshCache,
       true,
       1,
       no_backend + "lumra: empty interface name\n"},
      {"interface name of 16 bytes",
       cut_name,
       {"-v", "-i", "wlan0wlan0wlan0w"},
       kRefreshCache,
       true,
       1,
       no_backend + "lumra: interface name too long\n"},
      {"interface name of 18 bytes",
       cut_name,
       {"-v", "-i", "abcdefghijklmnoXYZ"},
       kRefreshCache,
       true,
       1,
       no_backend + "lumra: interface name too long\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> quiet;
    for (const std::string &a : c.args)
      if (a != "-v" && a != "--verbose") quiet.push_back(a);
    for (bool verbose : {true, false}) {
      SCOPED_TRACE(verbose ? "-v" : "quiet");
      unlink(cache_.c_str());
      if (!c.before.empty()) write_all(cache_, c.before);
      Outcome r = run(c.scenario, verbose ? c.args : quiet);
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.out, c.status == 0 ? "ESSID:error,,,,," : "");
      EXPECT_EQ(r.err, verbose ? c.err : c.status == 1 ? no_backend : "");
      if (c.status == 1) {
        EXPECT_EQ(r.log, "");
      }
      if (c.kept) {
        EXPECT_EQ(cache(), c.before);
      } else {
        EXPECT_NE(access(cache_.c_str(), F_OK), 0);
      }
    }
  }
}

// -s names the first key-management suite beyond PSK and 802.1X too; the
// cache keeps what the refresh run wrote, and a cached run prints it as it is.
TEST_F(EndToEnd, SuitesNamed) {
  const std::string scenario =
      interface_lines("") + cell("02:00:00:00:00:07", 1, 2412, "35 181 0 0x2b", "wpa3", true, 3,
                                 "30180100000fac040100000fac040200000fac08000fac020c00");
  Outcome plain = run(scenario, {"-i", "wlan0"});
  EXPECT_EQ(plain.out, "ESSID:wpa3,Master,unknown,1,50 %,");
  Outcome named = run(scenario, {"-s", "-i", "wlan0"});
  EXPECT_EQ(named.out, "ESSID:wpa3,Master,WPA2-SAE/WPA2-PSK,1,50 %,");
  EXPECT_EQ(cache(), "ESSID:wpa3,02:00:00:00:00:07,Master,WPA2-SAE/WPA2-PSK,1,50 %,");
  Outcome cached = run(scenario, {"-c", "-i", "wlan0"});
  EXPECT_EQ(cached.out, named.out);
}

#if LUMRA_HAVE_NL80211
// Without -b, NL80211 serves an interface without Wireless Extensions; here
// the kernel has no such interface, so its scan fails and its cached run
// finds nothing to refresh. With -b WE, the same runs stop at WE's cause.
TEST_F(EndToEnd, OtherBackendServesWithoutWirelessExtensions) {
  const std::string scenario = "interface lumrafake0\n  no-wireless ENOTTY\n";
  Outcome refresh = run(scenario, {"-v", "-i", "lumrafake0"});
  EXPECT_EQ(refresh.out, "ESSID:error,,,,,");
  EXPECT_EQ(refresh.err,
            "lumra: no Wireless Extensions on lumrafake0; NL80211: lumrafake0: No such device\n");
  write_all(cache_, kRefreshCache);
  Outcome cached = run(scenario, {"-v", "-c", "-i", "lumrafake0"});
  EXPECT_EQ(cached.out,
            "ESSID:cafe, open,Master,off,1,50 %,ESSID:home,Master,WPA2-PSK,6,85 %,"
            "ESSID:office,Ad-Hoc,WPA-PSK/WPS,149,28 %,ESSID:old,Master,WEP,11,100 %,"
            "ESSID:,Master,off,36,0 %,");
  EXPECT_EQ(cached.err,
            "lumra: NL80211 on lumrafake0, cached run: 5 networks, 0 passes (0 joined a running "
            "scan), 0 fetches, 0 buffer growths, 0.00 s\n");
  Outcome named = run(scenario, {"-v", "-b", "WE", "-c", "-i", "lumrafake0"});
  EXPECT_EQ(named.out, "ESSID:error,,,,,");
  EXPECT_EQ(named.err, "lumra: no Wireless Extensions on lumrafake0 (try -b NL80211)\n");
  EXPECT_EQ(cache(), kRefreshCache);
}
#endif

TEST_F(EndToEnd, OversizedEssidsAndARateAbove31Bits) {
  // Cells of malformed beacons are listed without their ESSID (33 bytes
  // reach the decoder, libiw drops 64); a 2402 Mbit/s link comes as a
  // negative 32-bit figure.
  const std::string scenario =
      interface_lines(associated("home", "02:00:00:00:00:02", 2437, "2402000000", "") +
                      five_fetches("results 1 2 7 8")) +
      kCells + cell("02:00:00:00:00:07", 1, 2412, "", std::string(33, 'x'), false, 3) +
      cell("02:00:00:00:00:08", 1, 2412, "", std::string(64, 'x'), false, 3);
  Outcome r = run(scenario, {"-v", "-i", "wlan0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "ESSID:cafe, open,Master,off,1,50 %,ESSID:home,Master,WPA2-PSK,6,85 %,2 Gbit/s,"
            "ESSID:,Master,off,1,0 %,ESSID:,Master,off,1,0 %,");
  EXPECT_EQ(r.err,
            "lumra: WE on wlan0, refresh run (band all, freq all): 4 networks, 5 passes (0 joined "
            "a running scan), 5 fetches, 0 buffer growths, 2 oversized ESSIDs, 9.25 s\n");
}

TEST_F(EndToEnd, VerboseSumsUpARun) {
  std::string busy =
      interface_lines(kHome + "  fail SIOCSIWSCAN 2 EBUSY\n  fetch too-big 9000\n") + kCells;
  Outcome refresh = run(busy, {"-v", "-i", "wlan0"});
  EXPECT_EQ(refresh.status, 0);
  EXPECT_EQ(refresh.out, kRefreshOutput + "ESSID:new net,Master,WPA2-PSK,149,90 %,");
  // Five passes, the second joining a running scan; the first fetch too
  // small once. Waits are virtual: 5 x 0.25 s and 4 pauses of 2 s.
  EXPECT_EQ(refresh.err,
            "lumra: WE on wlan0, refresh run (band all, freq all): 6 networks, 5 passes (1 joined "
            "a running scan), 6 fetches, 1 buffer growths, 9.25 s\n");
  std::string written = cache();

  Outcome cached = run(kRefreshScenario, {"-v", "-c", "-i", "wlan0"});
  EXPECT_EQ(cached.status, 0);
  EXPECT_EQ(cached.err,
            "lumra: WE on wlan0, cached run: 6 networks, 0 passes (0 joined a running scan), "
            "0 fetches, 0 buffer growths, 0.00 s\n");
  EXPECT_EQ(cache(), written);
}

}  // namespace
