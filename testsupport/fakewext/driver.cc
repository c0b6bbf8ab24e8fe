// SPDX-License-Identifier: MIT
// The emulated requests: what a cfg80211 driver under a 64-bit kernel's
// wireless-extensions core answers, for the scripted interfaces.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <cstddef>
#include <cstring>

#include "fakewext.h"

namespace fakewext {

namespace {

bool is_wext(unsigned long request) { return request >= SIOCIWFIRST && request <= SIOCIWLAST; }

int channel_of_mhz(int mhz) {
  if (mhz == 2484) return 14;
  if (mhz >= 2407 && mhz < 2484) return (mhz - 2407) / 5;
  if (mhz >= 5000 && mhz < 5900) return (mhz - 5000) / 5;
  return 0;
}

// 2.4 GHz channels 1 to 13 and the 5 GHz channels 36 to 140: 32 entries,
// the most a range record carries.
std::vector<int> default_channels() {
  std::vector<int> mhz;
  for (int ch = 1; ch <= 13; ++ch) mhz.push_back(2407 + 5 * ch);
  for (int ch = 36; ch <= 64; ch += 4) mhz.push_back(5000 + 5 * ch);
  for (int ch = 100; ch <= 140; ch += 4) mhz.push_back(5000 + 5 * ch);
  return mhz;
}

// The range record of drivers built for WE 15 and older, before WE 16
// reordered it; libiw converts it by these offsets.
struct range15 {
  uint32_t throughput;
  uint32_t min_nwid;
  uint32_t max_nwid;
  uint16_t num_channels;
  uint8_t num_frequency;
  iw_freq freq[16];
  int32_t sensitivity;
  iw_quality max_qual;
  uint8_t num_bitrates;
  int32_t bitrate[8];
  int32_t min_rts, max_rts, min_frag, max_frag, min_pmp, max_pmp, min_pmt, max_pmt;
  uint16_t pmp_flags, pmt_flags, pm_capa;
  uint16_t encoding_size[8];
  uint8_t num_encoding_sizes;
  uint8_t max_encoding_tokens;
  uint16_t txpower_capa;
  uint8_t num_txpower;
  int32_t txpower[8];
  uint8_t we_version_compiled;
  uint8_t we_version_source;
  uint16_t retry_capa, retry_flags, r_time_flags;
  int32_t min_retry, max_retry, min_r_time, max_r_time;
  iw_quality avg_qual;
};
// The version byte never moved: readers find it before knowing the layout.
static_assert(offsetof(range15, we_version_compiled) == offsetof(iw_range, we_version_compiled));

range15 old_range(const iw_range &r) {
  range15 o;
  memset(&o, 0, sizeof o);
  o.num_frequency = static_cast<uint8_t>(std::min<int>(r.num_frequency, 16));
  o.num_channels = o.num_frequency;
  memcpy(o.freq, r.freq, o.num_frequency * sizeof(iw_freq));
  o.max_qual = r.max_qual;
  o.avg_qual = r.avg_qual;
  o.num_encoding_sizes = r.num_encoding_sizes;
  memcpy(o.encoding_size, r.encoding_size, sizeof o.encoding_size);
  o.max_encoding_tokens = r.max_encoding_tokens;
  o.we_version_compiled = r.we_version_compiled;
  o.we_version_source = r.we_version_source;
  return o;
}

iw_range make_range(const Interface &iface) {
  iw_range r;
  memset(&r, 0, sizeof r);
  r.we_version_compiled = iface.we_version;
  r.we_version_source = std::min<uint8_t>(iface.we_version, 21);
  r.max_qual = iface.max_qual;
  r.avg_qual.qual = static_cast<uint8_t>(iface.max_qual.qual / 2);
  r.avg_qual.level = static_cast<uint8_t>(iface.max_qual.level / 2);
  r.avg_qual.noise = static_cast<uint8_t>(iface.max_qual.noise / 2);
  r.avg_qual.updated = iface.max_qual.updated;
  r.num_encoding_sizes = 2;
  r.encoding_size[0] = 5;
  r.encoding_size[1] = 13;
  r.max_encoding_tokens = 4;
  r.enc_capa = IW_ENC_CAPA_WPA | IW_ENC_CAPA_WPA2 | IW_ENC_CAPA_CIPHER_TKIP |
               IW_ENC_CAPA_CIPHER_CCMP;
  r.scan_capa = IW_SCAN_CAPA_ESSID;
  std::vector<int> mhz = iface.channels_mhz.empty() ? default_channels() : iface.channels_mhz;
  if (mhz.size() > IW_MAX_FREQUENCIES) mhz.resize(IW_MAX_FREQUENCIES);
  for (size_t i = 0; i < mhz.size(); ++i) {
    r.freq[i] = freq_of_mhz(mhz[i]);
    r.freq[i].i = static_cast<uint8_t>(channel_of_mhz(mhz[i]));
  }
  r.num_frequency = static_cast<uint8_t>(mhz.size());
  r.num_channels = static_cast<uint16_t>(mhz.size());
  return r;
}

// A GET of a pointer request as the core finishes it: the caller's buffer
// must exist and hold the answer.
int copy_out(iwreq *wrq, const void *data, size_t n) {
  if (wrq->u.data.pointer == nullptr) return -EFAULT;
  if (wrq->u.data.length < n) return -E2BIG;
  if (n > 0) memcpy(wrq->u.data.pointer, data, n);
  wrq->u.data.length = static_cast<uint16_t>(n);
  return 0;
}

// What virtual_clock reads: constant-initialised plain data, usable before
// and during the construction of the driver.
struct {
  bool active;
  bool on;
  int64_t base_us;
  int64_t now_us;
} clock_state = {false, true, 0, 0};

}  // namespace

bool virtual_clock(clockid_t id, timespec *ts) noexcept {
  if (!clock_state.active || !clock_state.on || id != CLOCK_MONOTONIC || ts == nullptr)
    return false;
  int64_t us = clock_state.base_us + clock_state.now_us;
  ts->tv_sec = static_cast<time_t>(us / 1000000);
  ts->tv_nsec = static_cast<long>(us % 1000000) * 1000;
  return true;
}

Driver &Driver::instance() {
  static Driver *driver = new Driver();  // never destroyed: used until exit
  return *driver;
}

void Driver::activate(bool on) {
  if (on && !active_) {
    timespec real;
    clock_gettime(CLOCK_MONOTONIC, &real);  // the real one: inactive still
    clock_state.base_us = static_cast<int64_t>(real.tv_sec) * 1000000 + real.tv_nsec / 1000;
    clock_state.now_us = now_us_;
  }
  clock_state.active = on;
  active_ = on;
}

void Driver::virtual_monotonic(bool on) { clock_state.on = on; }

void Driver::reset() {
  active_ = false;
  ifaces_.clear();
  log_.clear();
  waits_.clear();
  fds_.clear();
  seen_.clear();
  proc_texts_.clear();
  proc_error = 0;
  now_us_ = 0;
  time_scale_ = 0;
  clock_state.active = false;
  clock_state.on = true;
  clock_state.now_us = 0;
}

void Driver::pass_time(int64_t elapsed_us) {
  if (elapsed_us <= 0) return;
  now_us_ += elapsed_us;
  clock_state.now_us = now_us_;
  if (time_scale_ == 0) return;
  int64_t real_us = elapsed_us / time_scale_;
  timespec left = {static_cast<time_t>(real_us / 1000000),
                   static_cast<long>(real_us % 1000000) * 1000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

Interface &Driver::add(Interface iface) {
  ifaces_.push_back(std::make_unique<Interface>(std::move(iface)));
  return *ifaces_.back();
}

Interface *Driver::find(std::string_view name) {
  for (auto &i : ifaces_)
    if (i->name == name) return i.get();
  return nullptr;
}

std::vector<Call> Driver::calls(unsigned long request, std::string_view ifname) const {
  std::vector<Call> out;
  for (const Call &c : log_)
    if (c.request == request && (ifname.empty() || c.ifname == ifname)) out.push_back(c);
  return out;
}

size_t Driver::count(unsigned long request, std::string_view ifname) const {
  return calls(request, ifname).size();
}

std::vector<int64_t> Driver::waits_us() const {
  std::vector<int64_t> out;
  for (const Call &c : log_)
    if (c.request == kSelect || c.request == kPoll)
      out.push_back(c.has_timeout ? int64_t{c.timeout.tv_sec} * 1000000 + c.timeout.tv_usec : -1);
  return out;
}

void Driver::record(Call call) {
  call.at_us = now_us_;
  log_.push_back(std::move(call));
  if (on_call) on_call(log_.back());
}

bool Driver::ioctl(int fd, unsigned long request, void *arg, int *ret) {
  if (!active_ || arg == nullptr) return false;
  if (request != SIOCGIFFLAGS && request != SIOCSIFFLAGS && !is_wext(request)) return false;
  char name[IFNAMSIZ + 1] = {};
  memcpy(name, arg, IFNAMSIZ);  // ifreq and iwreq both begin with the name
  Interface *iface = find(name);
  if (iface == nullptr) return false;
  if (std::find(fds_.begin(), fds_.end(), fd) == fds_.end()) fds_.push_back(fd);

  Call call;
  call.request = request;
  call.ifname = name;
  if (is_wext(request)) {
    const auto *wrq = static_cast<const iwreq *>(arg);
    call.length = wrq->u.data.length;
    call.flags = wrq->u.data.flags;
  }

  int nth = 1;
  auto seen = std::find_if(seen_.begin(), seen_.end(),
                           [&](const Seen &s) { return s.iface == iface && s.request == request; });
  if (seen == seen_.end())
    seen_.push_back({iface, request, 1});
  else
    nth = ++seen->count;

  int r = 0;
  const Failure *failure = nullptr;
  for (const Failure &f : iface->failures)
    if (f.request == request && (f.nth == 0 || f.nth == nth)) failure = &f;
  if (failure != nullptr)
    r = -failure->error;
  else if (is_wext(request) && !iface->wireless)
    r = -iface->wireless_error;
  else
    r = dispatch(*iface, request, arg, call);

  if (is_wext(request)) call.returned_length = static_cast<const iwreq *>(arg)->u.data.length;
  if (r < 0) {
    call.result = -1;
    call.error = -r;
  }
  *ret = call.result;
  record(std::move(call));
  if (*ret < 0) errno = -r;
  return true;
}

int Driver::dispatch(Interface &iface, unsigned long request, void *arg, Call &call) {
  if (request == SIOCGIFFLAGS) {
    static_cast<ifreq *>(arg)->ifr_flags = iface.flags;
    return 0;
  }
  if (request == SIOCSIFFLAGS) {
    iface.flags = static_cast<ifreq *>(arg)->ifr_flags;
    return 0;
  }
  auto *wrq = static_cast<iwreq *>(arg);
  switch (request) {
    case SIOCGIWNAME:
      memset(wrq->u.name, 0, IFNAMSIZ);
      strncpy(wrq->u.name, iface.protocol.c_str(), IFNAMSIZ);
      return 0;
    case SIOCGIWFREQ:
      wrq->u.freq = iface.freq;
      return 0;
    case SIOCGIWMODE:
      wrq->u.mode = iface.mode;
      return 0;
    case SIOCGIWAP:
      memset(&wrq->u.ap_addr, 0, sizeof wrq->u.ap_addr);
      wrq->u.ap_addr.sa_family = ARPHRD_ETHER;
      memcpy(wrq->u.ap_addr.sa_data, iface.ap, 6);
      return 0;
    case SIOCGIWRATE:
      memset(&wrq->u.bitrate, 0, sizeof wrq->u.bitrate);
      wrq->u.bitrate.value = iface.bitrate;
      return 0;
    case SIOCGIWESSID: {
      int r = copy_out(wrq, iface.essid.data(), iface.essid.size());
      if (r == 0) wrq->u.essid.flags = iface.essid.empty() ? 0 : 1;
      return r;
    }
    case SIOCGIWENCODE: {
      int r = copy_out(wrq, nullptr, 0);
      if (r == 0) wrq->u.data.flags = iface.encode_flags;
      return r;
    }
    case SIOCGIWRANGE: {
      iw_range range = make_range(iface);
      if (iface.we_version <= 15) {
        range15 old = old_range(range);
        return copy_out(wrq, &old, sizeof old);
      }
      return copy_out(wrq, &range, sizeof range);
    }
    case SIOCGIWSTATS: {
      if (!iface.stats) return -EOPNOTSUPP;
      iw_statistics st;
      memset(&st, 0, sizeof st);
      st.qual = iface.link;
      return copy_out(wrq, &st, sizeof st);
    }
    case SIOCSIWSCAN: {
      // cfg80211 scans only on a running interface.
      if (!(iface.flags & IFF_UP)) return -ENETDOWN;
      uint16_t len = wrq->u.data.length;
      if (len == 0) return 0;
      if (wrq->u.data.pointer == nullptr) return -EFAULT;
      if (len > sizeof(iw_scan_req)) return -E2BIG;
      const auto *p = static_cast<const uint8_t *>(wrq->u.data.pointer);
      call.payload.assign(p, p + len);
      return 0;
    }
    case SIOCGIWSCAN:
      if (!(iface.flags & IFF_UP)) return -ENETDOWN;
      return scan_fetch(iface, wrq, call);
    default:
      return -EOPNOTSUPP;
  }
}

int Driver::scan_fetch(Interface &iface, iwreq *wrq, Call &) {
  if (wrq->u.data.pointer == nullptr) return -EFAULT;
  bool scripted = !iface.fetches.empty();
  Bytes stream;
  if (scripted) {
    FetchStep &step = iface.fetches.front();
    switch (step.kind) {
      case FetchStep::Kind::not_ready:
        if (--step.count <= 0) iface.fetches.pop_front();
        return -EAGAIN;
      case FetchStep::Kind::too_big:
        wrq->u.data.length = step.reported;
        iface.fetches.pop_front();
        return -E2BIG;
      case FetchStep::Kind::error: {
        int err = step.error;
        iface.fetches.pop_front();
        return -err;
      }
      case FetchStep::Kind::empty:
        iface.fetches.pop_front();
        wrq->u.data.length = 0;
        wrq->u.data.flags = 0;
        return 0;
      case FetchStep::Kind::results:
        if (step.bytes)
          stream = *step.bytes;
        else
          stream = encode_scan(step.cells ? *step.cells : iface.cells, iface.we_version);
        break;
    }
  } else {
    stream = encode_scan(iface.cells, iface.we_version);
  }
  if (stream.size() > wrq->u.data.length) {
    // Too small: the step stays for the retry with a larger buffer.
    if (iface.e2big_hint)
      wrq->u.data.length = static_cast<uint16_t>(std::min<size_t>(stream.size(), 0xFFFF));
    return -E2BIG;
  }
  if (!stream.empty()) memcpy(wrq->u.data.pointer, stream.data(), stream.size());
  wrq->u.data.length = static_cast<uint16_t>(stream.size());
  wrq->u.data.flags = 0;
  if (scripted) iface.fetches.pop_front();
  return 0;
}

bool Driver::select(int nfds, fd_set *r, fd_set *w, fd_set *x, timeval *tv, int *ret) {
  if (!active_) return false;
  int ours = -1;
  int limit = std::min(nfds, static_cast<int>(FD_SETSIZE));
  for (int fd = 0; fd < limit && ours < 0; ++fd) {
    bool listed = (r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (x && FD_ISSET(fd, x));
    if (listed && std::find(fds_.begin(), fds_.end(), fd) != fds_.end()) ours = fd;
  }
  if (nfds != 0 && ours < 0) return false;

  Call call;
  call.request = kSelect;
  call.nfds = nfds;
  // Microseconds in 64 bits: an hour's timeout overflows a 32-bit long.
  int64_t total = -1;
  if (tv != nullptr) {
    call.has_timeout = true;
    call.timeout = *tv;
    total = int64_t{tv->tv_sec} * 1000000 + tv->tv_usec;
  }
  int64_t elapsed = 0;
  WaitStep step = take_wait(total, &elapsed);
  // Linux writes back the time left.
  if (tv != nullptr) {
    int64_t left = total - elapsed;
    tv->tv_sec = static_cast<time_t>(left / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(left % 1000000);
  }
  int result = 0;
  switch (step.kind) {
    case WaitStep::Kind::timeout:
      if (r) FD_ZERO(r);
      if (w) FD_ZERO(w);
      if (x) FD_ZERO(x);
      break;
    case WaitStep::Kind::readable:
      if (r) FD_ZERO(r);
      if (w) FD_ZERO(w);
      if (x) FD_ZERO(x);
      if (ours >= 0 && r) {
        FD_SET(ours, r);
        result = 1;
      }
      break;
    case WaitStep::Kind::error:
      result = -1;
      call.error = step.error;
      break;
  }
  call.result = result;
  record(std::move(call));
  pass_time(elapsed);
  *ret = result;
  if (result < 0) errno = step.error;
  return true;
}

WaitStep Driver::take_wait(int64_t total_us, int64_t *elapsed_us) {
  WaitStep step;
  if (!waits_.empty()) {
    step = waits_.front();
    waits_.pop_front();
  }
  int64_t elapsed = step.elapsed_us >= 0 ? step.elapsed_us : std::max<int64_t>(total_us, 0);
  if (total_us >= 0) elapsed = std::min(elapsed, total_us);
  *elapsed_us = elapsed;
  return step;
}

bool Driver::poll(pollfd *fds, nfds_t nfds, int timeout_ms, int *ret) {
  if (!active_) return false;
  pollfd *ours = nullptr;
  for (nfds_t i = 0; i < nfds && ours == nullptr; ++i)
    if (std::find(fds_.begin(), fds_.end(), fds[i].fd) != fds_.end()) ours = &fds[i];
  if (nfds != 0 && ours == nullptr) return false;

  Call call;
  call.request = kPoll;
  call.nfds = static_cast<int>(nfds);
  call.fd = ours != nullptr ? ours->fd : -1;
  int64_t total = -1;
  if (timeout_ms >= 0) {
    call.has_timeout = true;
    call.timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000L};
    total = timeout_ms * int64_t{1000};
  }
  int64_t elapsed = 0;
  WaitStep step = take_wait(total, &elapsed);
  for (nfds_t i = 0; i < nfds; ++i) fds[i].revents = 0;
  int result = 0;
  if (step.kind == WaitStep::Kind::readable && ours != nullptr && (ours->events & POLLIN)) {
    ours->revents = POLLIN;
    result = 1;
  } else if (step.kind == WaitStep::Kind::error) {
    result = -1;
    call.error = step.error;
  }
  call.result = result;
  record(std::move(call));
  pass_time(elapsed);
  *ret = result;
  if (result < 0) errno = step.error;
  return true;
}

bool Driver::fopen(const char *path, const char *mode, FILE **ret) {
  if (!active_ || path == nullptr || strcmp(path, "/proc/net/wireless") != 0) return false;
  Call call;
  call.request = kProcOpen;
  if (proc_error != 0) {
    call.result = -1;
    call.error = proc_error;
    record(std::move(call));
    errno = proc_error;
    *ret = nullptr;
    return true;
  }
  // The kernel's layout of the file (net/wireless/wext-proc.c).
  std::string text =
      "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
      " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n";
  for (const auto &i : ifaces_) {
    if (!i->wireless || !i->stats) continue;
    const iw_quality &q = i->link;
    int dbm = (q.updated & IW_QUAL_DBM) ? 0x100 : 0;
    char line[160];
    snprintf(line, sizeof line, "%6s: %04x  %3d%c  %3d%c  %3d%c  %6d %6d %6d %6d %6d   %6d\n",
             i->name.c_str(), 0, q.qual, (q.updated & IW_QUAL_QUAL_UPDATED) ? '.' : ' ',
             static_cast<int>(q.level) - dbm, (q.updated & IW_QUAL_LEVEL_UPDATED) ? '.' : ' ',
             static_cast<int>(q.noise) - dbm, (q.updated & IW_QUAL_NOISE_UPDATED) ? '.' : ' ', 0, 0,
             0, 0, 0, 0);
    text += line;
  }
  proc_texts_.push_back(std::move(text));
  std::string &kept = proc_texts_.back();
  record(std::move(call));
  *ret = fmemopen(kept.data(), kept.size(), mode);
  return true;
}

Session::Session() {
  Driver::instance().reset();
  Driver::instance().activate(true);
}

Session::~Session() { Driver::instance().reset(); }

int open_descriptors() {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

}  // namespace fakewext
