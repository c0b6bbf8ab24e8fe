// SPDX-License-Identifier: MIT
// A fake Wireless Extensions driver beneath libiw, for tests.
//
// It answers the system calls that the backend and libiw make (ioctl on the
// datagram socket, poll and select for the waits, fopen of
// /proc/net/wireless) as a 64-bit Linux kernel would for one or more scripted
// interfaces. Requests for other interfaces, and every call while no Session
// is open, go to the real system. Time is virtual: poll and select return at
// once and only record their wait, and the monotonic clock shows the time
// they waited.
#pragma once

#include <net/if.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include <cerrno>
#include <cstdio>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <iwlib.h>

namespace fakewext {

using Bytes = std::vector<uint8_t>;

// One scan event as a driver hands it to the kernel's stream encoder: the
// request code, the fixed value (u) and, for pointer events, the payload.
struct Event {
  uint16_t cmd = 0;
  iwreq_data u{};  // value; for pointer events u.data.length and u.data.flags
  Bytes extra;     // pointer events: the payload bytes written to the stream
  // raw(): the bytes that follow the 8-byte header, written as they are.
  std::optional<Bytes> raw;
};

// A cell: its events in stream order (normally beginning with ev::ap).
using Cell = std::vector<Event>;

// Builders for the events that drivers put in scan results.
namespace ev {
Event ap(const uint8_t (&mac)[6]);
Event ap(std::string_view text);                          // "00:11:22:33:44:55"
Event freq_raw(int32_t m, int16_t e);                     // iw_freq {m, e}, i and flags 0
Event freq_mhz(int mhz);                                  // {mhz, 6}, as cfg80211 sends it second
Event channel(int number);                                // {number, 0}, as cfg80211 sends it first
Event mode(uint32_t mode);                                // IW_MODE_*
Event essid(std::string_view bytes, uint16_t flags = 1);  // bytes as given, no NUL added
Event encode(uint16_t flags);                             // IW_ENCODE_* flags, no key bytes
Event encode_on();                                        // IW_ENCODE_ENABLED | IW_ENCODE_NOKEY
Event encode_off();                                       // IW_ENCODE_DISABLED
Event qual(uint8_t qual, uint8_t level, uint8_t noise, uint8_t updated);
Event genie(const Bytes &ies);                 // IWEVGENIE, one or more elements
Event custom(std::string_view text);           // IWEVCUSTOM, text without NUL
Event rate(int32_t bps);                       // SIOCGIWRATE with one value
Event rates(const std::vector<int32_t> &bps);  // one event, several values
Event raw(uint16_t cmd, const Bytes &after_header);
}  // namespace ev

// The event stream of the cells exactly as a 64-bit kernel of that Wireless
// Extensions version writes it (pointer kept in pointer events up to 18).
Bytes encode_scan(const std::vector<Cell> &cells, int we_version);
Bytes encode_events(const std::vector<Event> &events, int we_version);

// Parses "hh:hh:hh:hh:hh:hh" or a run of hex digits ("dd0050f2...");
// returns false on malformed text.
bool parse_mac(std::string_view text, uint8_t (&mac)[6]);
bool parse_hex(std::string_view text, Bytes &out);

iw_freq freq_of_mhz(int mhz);  // as SIOCGIWFREQ reports it: {mhz * 100000, 1}

// One answer to a SIOCGIWSCAN fetch. The head of an interface's script is
// used by each fetch; an empty script delivers the interface's cells.
struct FetchStep {
  enum class Kind { results, not_ready, too_big, error, empty };
  Kind kind = Kind::results;
  int count = 1;                           // not_ready: EAGAIN answers before the step is used up
  uint16_t reported = 0;                   // too_big: length written back with E2BIG
  int error = 0;                           // error: errno of the failure
  std::optional<std::vector<Cell>> cells;  // results: these cells instead
  std::optional<Bytes> bytes;              // results: this stream as it is
};
namespace fetch {
FetchStep results();
FetchStep results(std::vector<Cell> cells);
FetchStep bytes(Bytes stream);
FetchStep not_ready(int times);
FetchStep too_big(uint16_t reported);
FetchStep error(int err);
FetchStep empty();
}  // namespace fetch

// Makes the nth call (1-based; 0: every call) of a request on the interface
// fail with -1 and errno `error`.
struct Failure {
  unsigned long request = 0;
  int nth = 0;
  int error = EIO;
};

// One fake interface. Defaults: up, associated to nothing, WE 22, the
// cfg80211 quality maxima and a 2.4 GHz plus 5 GHz frequency list.
struct Interface {
  std::string name = "wlan0";
  short flags = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;  // scans need IFF_UP
  bool wireless = true;                  // false: no wireless extensions at all
  int wireless_error = EOPNOTSUPP;       // then every request's errno (ENOTTY: none in the kernel)
  std::string protocol = "IEEE 802.11";  // SIOCGIWNAME
  uint8_t we_version = 22;
  iw_quality max_qual{70, static_cast<uint8_t>(-110), 0,
                      IW_QUAL_NOISE_INVALID | IW_QUAL_DBM | IW_QUAL_QUAL_UPDATED |
                          IW_QUAL_LEVEL_UPDATED};
  std::vector<int> channels_mhz;                  // range frequency list; empty: default list
  uint8_t ap[6] = {0, 0, 0, 0, 0, 0};             // SIOCGIWAP; all zero: not associated
  int32_t bitrate = 54000000;                     // SIOCGIWRATE
  std::string essid;                              // SIOCGIWESSID
  iw_freq freq = freq_of_mhz(2412);               // SIOCGIWFREQ
  uint32_t mode = IW_MODE_INFRA;                  // SIOCGIWMODE
  uint16_t encode_flags = IW_ENCODE_DISABLED;     // SIOCGIWENCODE
  iw_quality link{0, 0, 0, IW_QUAL_ALL_INVALID};  // SIOCGIWSTATS, /proc line
  bool stats = true;              // listed in /proc/net/wireless, SIOCGIWSTATS works
  std::vector<Cell> cells;        // scan results
  std::deque<FetchStep> fetches;  // per-fetch script
  // A fetch into a buffer too small for the results fails with E2BIG; with
  // the hint the needed length is written back (as WE-17 drivers do).
  bool e2big_hint = true;
  std::vector<Failure> failures;
};

// poll and select answers, used in order; none scripted: the timeout runs out.
struct WaitStep {
  enum class Kind { timeout, readable, error };
  Kind kind = Kind::timeout;
  int error = 0;            // error: errno (EINTR, EBADF, ...)
  int64_t elapsed_us = -1;  // virtual time that passes; -1: the whole timeout
};

// Pseudo request codes of the log for the calls that are not ioctls.
constexpr unsigned long kSelect = 0x10000;
constexpr unsigned long kProcOpen = 0x10001;
constexpr unsigned long kPoll = 0x10002;

// One emulated call, in call order.
struct Call {
  unsigned long request = 0;  // ioctl code, or kSelect / kPoll / kProcOpen
  std::string ifname;
  int result = 0;
  int error = 0;                 // errno when result is -1
  uint16_t length = 0;           // u.data.length offered (pointer requests)
  uint16_t flags = 0;            // u.data.flags offered
  Bytes payload;                 // bytes passed in (SIOCSIWSCAN: the iw_scan_req)
  uint16_t returned_length = 0;  // u.data.length written back
  // select and poll
  int nfds = 0;
  bool has_timeout = false;
  timeval timeout{};  // as given (poll's milliseconds as a timeval)
  int fd = -1;        // poll: the fake's socket among the descriptors
  int64_t at_us = 0;  // virtual time of the call
};

class Driver {
 public:
  static Driver &instance();

  // Drops interfaces, scripts, log and clock; leaves the driver inactive.
  void reset();
  void activate(bool on);
  bool active() const { return active_; }

  Interface &add(Interface iface);
  Interface *find(std::string_view name);

  const std::vector<Call> &log() const { return log_; }
  void clear_log() { log_.clear(); }
  std::vector<Call> calls(unsigned long request, std::string_view ifname = {}) const;
  size_t count(unsigned long request, std::string_view ifname = {}) const;
  // The timeouts of the poll and select calls, in microseconds (-1 for none).
  std::vector<int64_t> waits_us() const;
  int64_t now_us() const { return now_us_; }

  std::deque<WaitStep> &wait_script() { return waits_; }

  // Real time per emulated wait: 0 (the default) lets none pass; n makes
  // each wait really last 1/n of its virtual time (preload mode:
  // FAKEWEXT_TIME_SCALE), for tests of whole runs that overlap in time.
  void set_time_scale(long n) { time_scale_ = n > 0 ? n : 0; }
  long time_scale() const { return time_scale_; }
  // Lets elapsed_us of virtual time pass: the clock advances, and under a
  // time scale the caller really sleeps its share. Every emulated wait
  // comes through here.
  void pass_time(int64_t elapsed_us);
  // Whether CLOCK_MONOTONIC shows the virtual time (on after reset). Code
  // that times itself in real time inside a session, as a benchmark does,
  // turns it off.
  void virtual_monotonic(bool on);
  // errno for the next fopen of /proc/net/wireless; 0: it opens.
  int proc_error = 0;

  // Where the interposed functions come in. Each returns true when it
  // answered the call (result in *ret, errno set), false to pass it on.
  bool ioctl(int fd, unsigned long request, void *arg, int *ret);
  bool select(int nfds, fd_set *r, fd_set *w, fd_set *x, timeval *tv, int *ret);
  bool poll(pollfd *fds, nfds_t nfds, int timeout_ms, int *ret);
  bool fopen(const char *path, const char *mode, FILE **ret);

  // Called with each new log record (preload mode writes it out).
  void (*on_call)(const Call &) = nullptr;

 private:
  Driver() = default;
  int dispatch(Interface &iface, unsigned long request, void *arg, Call &call);
  int scan_fetch(Interface &iface, iwreq *wrq, Call &call);
  void record(Call call);
  WaitStep take_wait(int64_t total_us, int64_t *elapsed_us);

  bool active_ = false;
  std::vector<std::unique_ptr<Interface>> ifaces_;
  std::vector<Call> log_;
  std::deque<WaitStep> waits_;
  std::vector<int> fds_;  // sockets that carried fake requests
  struct Seen {
    const Interface *iface;
    unsigned long request;
    int count;
  };
  std::vector<Seen> seen_;              // calls per interface and request, for Failure::nth
  std::deque<std::string> proc_texts_;  // kept alive for open memory streams
  int64_t now_us_ = 0;
  long time_scale_ = 0;
};

// CLOCK_MONOTONIC while a session is active: its real reading at activation
// plus the virtual time waited since; false for other clocks, when inactive
// or when turned off. Safe to call at any time, from allocators too (sanitizers read
// the clock inside malloc): it neither allocates nor locks.
bool virtual_clock(clockid_t id, timespec *ts) noexcept;

// Installs the fake for the life of the object: resets the driver, makes it
// active, and resets it again on destruction.
class Session {
 public:
  Session();
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  Driver &driver() { return Driver::instance(); }
  Interface &add(Interface iface) { return driver().add(std::move(iface)); }
};

// Scenario text (see README.md): interfaces, association, cells, fetch
// scripts and failures. Adds the interfaces to the driver; returns false and
// a message naming the line on a malformed scenario.
bool load_scenario(Driver &driver, std::string_view text, std::string *error);
// One log record as the preload library writes it (one line, with '\n').
std::string format_call(const Call &call);
// "SIOCGIWSCAN" for 0x8B19, else the code in hex.
std::string request_name(unsigned long request);
// 0x8B19 for "SIOCGIWSCAN" or "0x8b19"; 0 when unknown.
unsigned long request_code(std::string_view name);

// How many descriptors the process has open, so that a test can tell that
// the code under it closed every socket it opened.
int open_descriptors();

}  // namespace fakewext
