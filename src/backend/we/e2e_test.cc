// The built program run as a whole process, with the fake driver preloaded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/lumra.h"
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

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_all(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
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
const char *const kCells = R"(
cell 02:00:00:00:00:01
  channel 1
  freq 2412
  qual 35 181 0 0x2b
  essid "cafe, open"
  encode off
  mode 3

cell 02:00:00:00:00:02
  channel 6
  freq 2437
  qual 60 206 0 0x2b
  essid "home"
  encode on
  mode 3
  ie 30140100000fac040100000fac040100000fac020c00

cell 02:00:00:00:00:03
  channel 149
  freq 5745
  qual 20 166 0 0x2b
  essid "office"
  encode on
  mode 1
  ie dd160050f20101000050f20201000050f20201000050f202
  ie dd0e0050f204104a0001101044000102

cell 02:00:00:00:00:04
  freq 2462
  qual 200 206 0 0x2b
  essid "old"
  encode on
  mode 2

cell 02:00:00:00:00:05
  channel 36
  freq 5180
  qual 50 100 0 0x80
  essid ""
  encode off
  mode 3

cell 02:00:00:00:00:06
  channel 149
  freq 5745
  qual 63 200 0 0x2b
  essid "new net"
  encode on
  mode 3
  ie 30140100000fac040100000fac040100000fac020c00
)";

std::string interface_lines(const std::string &extra) {
  return "interface wlan0\n" + extra + "\n";
}

// The refresh run sees cells 1 to 5 (the fetches name them); a directed scan
// of a later run gets every cell.
const std::string kRefreshScenario =
    interface_lines(
        "  essid \"home\"\n  ap 02:00:00:00:00:02\n  freq 2437\n  rate 54000000\n"
        "  link 61 0 0 0x01\n"
        "  fetch results 1 2 3 4 5\n  fetch results 1 2 3 4 5\n  fetch results 1 2 3 4 5\n"
        "  fetch results 1 2 3 4 5\n  fetch results 1 2 3 4 5\n") +
    kCells;

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

size_t count_lines(const std::string &log, const std::string &needle) {
  size_t n = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    if (line.find(needle) != std::string::npos) n++;
  return n;
}

// A cross build's program cannot be started where its tests run under
// qemu-user without a binfmt_misc handler. An unknown option ends the program
// before it does anything.

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::lumra_starts()) GTEST_SKIP() << LUMRA_BINARY << " cannot be started on this machine";
    cache_ = kCachePath;
    std::string dir = cache_.substr(0, cache_.rfind('/'));
    mkdir(dir.c_str(), 0755);
    unlink(kCachePath);
    work_ = testing::TempDir() + "lumra_e2e_" + std::to_string(getpid());
    mkdir(work_.c_str(), 0755);
  }
  void TearDown() override {
    for (const char *f : {"/scenario", "/log", "/out", "/err"}) unlink((work_ + f).c_str());
    rmdir(work_.c_str());
  }

  Outcome run(const std::string &scenario, std::vector<std::string> args) {
    Outcome r;
    write_all(work_ + "/scenario", scenario);
    unlink((work_ + "/log").c_str());

    std::vector<std::string> env =
        testsupport::environment_without({"LD_PRELOAD=", "FAKEWEXT_", "ASAN_OPTIONS="});
    env.push_back(std::string("LD_PRELOAD=") + FAKEWEXT_PRELOAD);
    env.push_back("FAKEWEXT_SCENARIO=" + work_ + "/scenario");
    env.push_back("FAKEWEXT_LOG=" + work_ + "/log");
    if (kAsan) {
      // The preloaded driver comes before the sanitizer's runtime in the
      // library list; the runtime still finds the calls it wraps.
      const char *asan = getenv("ASAN_OPTIONS");
      env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                    ":verify_asan_link_order=0");
    }
    args.insert(args.begin(), LUMRA_BINARY);
    testsupport::program_result p = testsupport::run_program(args, &env);
    r.status = p.status;
    r.out = p.out;
    r.err = p.err;
    r.log = read_all(work_ + "/log");
    return r;
  }

  std::string cache() { return read_all(cache_); }

  std::string cache_;
  std::string work_;
};

TEST_F(EndToEnd, RefreshThenCachedRun) {
  Outcome refresh = run(kRefreshScenario, {"-i", "wlan0"});
  EXPECT_EQ(refresh.status, 0) << refresh.err;
  EXPECT_EQ(refresh.out, kRefreshOutput);
  EXPECT_EQ(refresh.err, "");
  EXPECT_EQ(cache(), kRefreshCache);
  EXPECT_EQ(count_lines(refresh.log, "ioctl SIOCSIWSCAN wlan0 result=0"), 5u);
  EXPECT_EQ(count_lines(refresh.log, "select nfds=0 timeout=2000000"), 4u);
  EXPECT_EQ(count_lines(refresh.log, "ioctl SIOCSIFFLAGS"), 0u);

  // The association has moved on: new rate, quality and channel. The access
  // point is in the cache, so the cache is left as the refresh wrote it.
  std::string later = interface_lines(
                          "  essid \"home\"\n  ap 02:00:00:00:00:02\n  freq 2462\n"
                          "  rate 65000000\n  link 55 0 0 0x01\n") +
                      kCells;
  Outcome cached = run(later, {"-c", "-e", "-i", "wlan0"});
  EXPECT_EQ(cached.status, 0) << cached.err;
  EXPECT_EQ(cached.out,
            "ESSID:cafe%2c%20open,Master,off,1,50 %,"
            "ESSID:home,Master,WPA2-PSK,11,55 %,65 Mbit/s,"
            "ESSID:office,Ad-Hoc,WPA-PSK/WPS,149,28 %,"
            "ESSID:old,Master,WEP,11,100 %,"
            "ESSID:,Master,off,36,0 %,");
  EXPECT_EQ(cache(), kRefreshCache);
  EXPECT_EQ(count_lines(cached.log, "ioctl SIOCSIWSCAN"), 0u);
  EXPECT_EQ(count_lines(cached.log, "select"), 0u);
}

TEST_F(EndToEnd, CachedRunAddsTheMissingNetwork) {
  write_all(cache_, kRefreshCache);
  std::string moved = interface_lines(
                          "  essid \"new net\"\n  ap 02:00:00:00:00:06\n  freq 5745\n"
                          "  rate 300000000\n  link 40 0 0 0x01\n") +
                      kCells;
  Outcome cached = run(moved, {"-c", "-i", "wlan0"});
  EXPECT_EQ(cached.status, 0) << cached.err;
  EXPECT_EQ(cached.out,
            "ESSID:cafe, open,Master,off,1,50 %,"
            "ESSID:home,Master,WPA2-PSK,6,85 %,"
            "ESSID:office,Ad-Hoc,WPA-PSK/WPS,149,28 %,"
            "ESSID:old,Master,WEP,11,100 %,"
            "ESSID:,Master,off,36,0 %,"
            "ESSID:new net,Master,WPA2-PSK,149,40 %,300 Mbit/s,");
  EXPECT_EQ(cache(), kRefreshCache + "ESSID:new%20net,02:00:00:00:00:06,Master,WPA2-PSK,149,40 %,");
  // One directed scan for "new net" on 5745 MHz.
  EXPECT_EQ(count_lines(cached.log, "ioctl SIOCSIWSCAN wlan0 result=0 errno=0 length=316 "
                                    "flags=0x000a"),
            1u);
  EXPECT_EQ(count_lines(cached.log, "ioctl SIOCSIWSCAN"), 1u);
  EXPECT_EQ(count_lines(cached.log, "ioctl SIOCSIFFLAGS"), 0u);
}

TEST_F(EndToEnd, FailuresPrintTheErrorLine) {
  const struct {
    const char *name;
    const char *lines;
    std::vector<std::string> args;
    bool cached;
  } cases[] = {
      {"third scan refused", "  fail SIOCSIWSCAN 3 EBUSY\n", {"-i", "wlan0"}, false},
      {"empty result", "  fetch empty\n", {"-i", "wlan0"}, false},
      {"never ready", "  fetch not-ready 148\n", {"-i", "wlan0"}, false},
      {"no scanning before version 14", "  we-version 13\n", {"-i", "wlan0"}, false},
      {"cached run, version 13", "  we-version 13\n  ap 02:00:00:00:00:02\n", {"-c", "-i", "wlan0"},
       true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    write_all(cache_, kRefreshCache);
    Outcome r = run(interface_lines(c.lines) + kCells, c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ESSID:error,,,,,");
    // A failed refresh run leaves no cache file; a cached run leaves it as it was.
    if (c.cached)
      EXPECT_EQ(cache(), kRefreshCache);
    else
      EXPECT_NE(access(cache_.c_str(), F_OK), 0);
  }
}

// Drivers that write WPA and RSN elements as hex text in custom events: only
// so (Atheros, Ralink), then again as generic elements (Realtek), and a
// driver that puts the element bytes themselves into the text.
TEST_F(EndToEnd, ElementsInCustomTexts) {
  const std::string scenario = interface_lines(
                                   "  fetch results\n  fetch results\n  fetch results\n"
                                   "  fetch results\n  fetch results\n") +
                               R"(
cell 02:00:00:00:00:11
  channel 1
  qual 60 206 0 0x2b
  essid "hex only"
  encode on
  mode 3
  custom "wpa_ie=dd160050f20101000050f20201000050f20201000050f202"
  custom "rsn_ie=30140100000fac040100000fac040100000fac020c00"

cell 02:00:00:00:00:12
  channel 6
  qual 60 206 0 0x2b
  essid "hex and element"
  encode on
  mode 3
  custom "rsn_ie=302a0100000fac040100000fac040200000fac02000fac08cc0001005a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a"
  ie 302a0100000fac040100000fac040200000fac02000fac08cc0001005a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a

cell 02:00:00:00:00:13
  channel 11
  qual 60 206 0 0x2b
  essid "bytes"
  encode on
  mode 3
  custom "rsn_ie=\x30\x14\x01\x00\x00\x0f\xac\x04\x01\x00\x00\x0f\xac\x04\x01\x00\x00\x0f\xac\x02\x0c\x00"
)";
  Outcome r = run(scenario, {"-i", "wlan0"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "ESSID:hex only,Master,WPA-PSK/WPA2-PSK,1,85 %,"
            "ESSID:hex and element,Master,WPA2-PSK/WPA2-SAE,6,85 %,"
            "ESSID:bytes,Master,WPA2-PSK,11,85 %,");
  EXPECT_EQ(cache(),
            "ESSID:hex%20only,02:00:00:00:00:11,Master,WPA-PSK/WPA2-PSK,1,85 %,"
            "ESSID:hex%20and%20element,02:00:00:00:00:12,Master,WPA2-PSK/WPA2-SAE,6,85 %,"
            "ESSID:bytes,02:00:00:00:00:13,Master,WPA2-PSK,11,85 %,");
}

}  // namespace
