// SPDX-License-Identifier: MIT
// Scanning: triggering, waiting for and fetching scan results.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diag/clock.h"
#include "backend/flow.h"
#include "backend/we/we.h"
#include "backend/we/wext.h"
#include "diag/diag.h"

namespace {

constexpr long kFirstWaitUs = 250000;
constexpr long kRetryWaitUs = 100000;
constexpr long kBudgetUs = 15000000 - kFirstWaitUs;
constexpr size_t kInitialSize = IW_SCAN_MAX_DATA;
// u.data.length is 16 bits wide: the largest buffer the driver can be offered.
constexpr size_t kLargestSize = 65535;
constexpr int kLowestGrowVersion = 17;

// The result buffer of one fetch sequence; released on every path.
class ScanBuffer {
 public:
  ScanBuffer() = default;
  ScanBuffer(const ScanBuffer &) = delete;
  ScanBuffer &operator=(const ScanBuffer &) = delete;
  ~ScanBuffer() { free(data_); }

  // 0, or -1 with the block held so far released.
  int resize(size_t size) {
    void *grown = realloc(data_, size);
    if (grown == nullptr) {
      free(data_);
      data_ = nullptr;
      return -1;
    }
    data_ = static_cast<char *>(grown);
    return 0;
  }
  char *data() const { return data_; }

 private:
  char *data_ = nullptr;
};

// The size of the next fetch after E2BIG, or 0 when the driver cannot be
// offered more: the driver's figure when larger, else twice the size, and at
// most what the 16-bit length can say, offered once.
size_t grown_size(size_t size, size_t needed) {
  size_t next = needed > size ? needed : size * 2;
  if (next <= kLargestSize) return next;
  return size < kLargestSize ? kLargestSize : 0;
}

// Waits on fd for timeout_us; 0 when the time ran out, -1 on a failed poll.
// poll, unlike select, takes a descriptor of any number.
int wait_readable(int fd, long timeout_us) {
  if (fd < 0) return -1;
  const int64_t start = monotonic_us();
  int64_t left = timeout_us;
  for (;;) {
    pollfd watched = {.fd = fd, .events = POLLIN, .revents = 0};
    // Rounded up to whole milliseconds, so that a wait never ends early.
    int ready = poll(&watched, 1, static_cast<int>((left + 999) / 1000));
    if (ready == 0) return 0;
    if (ready < 0 && errno != EINTR && errno != EAGAIN) return -1;
    // A readable socket or an interrupted wait resumes with the time left.
    left = timeout_us - (monotonic_us() - start);
    if (left <= 0) return 0;
  }
}

// An interface in master mode (an access point), which the kernel lets scan
// only through nl80211.
bool is_access_point(backend_ctx *ctx) {
  iwreq wrq = we_request(ctx->ifname);
  return ioctl(we_of(ctx)->fd, SIOCGIWMODE, &wrq) == 0 && wrq.u.mode == IW_MODE_MASTER;
}

int get_flags(backend_ctx *ctx, void *, short *flags) {
  ifreq ifr = we_ifreq(ctx->ifname);
  if (ioctl(we_of(ctx)->fd, SIOCGIFFLAGS, &ifr) != 0) return -1;
  *flags = ifr.ifr_flags;
  return 0;
}

int set_flags(backend_ctx *ctx, void *, short flags) {
  ifreq ifr = we_ifreq(ctx->ifname);
  ifr.ifr_flags = flags;
  return ioctl(we_of(ctx)->fd, SIOCSIFFLAGS, &ifr);
}

const refresh_primitives kRefresh = {
    .get_flags = get_flags,
    .set_flags = set_flags,
    .link_snapshot =
        [](backend_ctx *ctx, void *) {
          we_link_snapshot(ctx);
          return 0;
        },
    .prepare = [](backend_ctx *, void *) { return 0; },
    .scan_once = [](backend_ctx *ctx, void *) { return we_scan_once(ctx, 0, nullptr, 0, nullptr); },
    .pause = [](backend_ctx *, void *, int ms) { poll(nullptr, 0, ms); },
};

int trigger(backend_ctx *ctx, int directed, const void *essid, int essid_len,
            const struct iw_freq *freq) {
  we_ctx *we = we_of(ctx);
  struct iw_scan_req request;
  memset(&request, 0, sizeof request);
  request.scan_type = IW_SCAN_TYPE_ACTIVE;
  uint16_t flags = IW_SCAN_ALL_ESSID;
  if (directed == 0) {
    we->directed = 0;
  } else {
    size_t len = static_cast<uint8_t>(essid_len);
    if (len > IW_ESSID_MAX_SIZE || freq == nullptr || (len > 0 && essid == nullptr)) return -1;
    request.essid_len = static_cast<uint8_t>(len);
    if (len > 0) memcpy(request.essid, essid, len);
    request.num_channels = 1;
    memcpy(&request.channel_list[0], freq, sizeof request.channel_list[0]);
    we->directed = 1;
    flags = IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ;
  }
  iwreq wrq = we_request(ctx->ifname);
  wrq.u.data.pointer = &request;
  wrq.u.data.length = sizeof request;
  wrq.u.data.flags = flags;
  if (ioctl(we->fd, SIOCSIWSCAN, &wrq) >= 0) return 0;
  // The driver answers fetches of a running scan with EAGAIN until it ends.
  const int err = errno;
  const char *hint = nullptr;
  if (err == EOPNOTSUPP && is_access_point(ctx))
    hint = "an access point scans only through -b NL80211";
  return trigger_refused(ctx, err, "SIOCSIWSCAN", hint);
}

}  // namespace

int we_scan_once(backend_ctx *ctx, int directed, const void *essid, int essid_len,
                 const struct iw_freq *freq) {
  const we_ctx *we = we_of(ctx);
  struct iw_range range;
  if (we_read_range(ctx, &range, "cannot scan") != 0) return -1;
  if (trigger(ctx, directed, essid, essid_len, freq) != 0) return -1;

  long timeout = kFirstWaitUs;
  long budget = kBudgetUs;
  ScanBuffer buffer;
  size_t size = kInitialSize;
  for (;;) {
    if (wait_readable(we->fd, timeout) != 0) {
      diag_fail(errno, "poll");
      return -1;
    }
    for (;;) {
      if (buffer.resize(size) != 0) {
        diag_fail(ENOMEM, "a scan result of %zu bytes", size);
        return -1;
      }
      diag_count().fetches++;
      iwreq wrq = we_request(ctx->ifname);
      wrq.u.data.pointer = buffer.data();
      wrq.u.data.length = static_cast<uint16_t>(size);
      wrq.u.data.flags = 0;
      if (ioctl(we->fd, SIOCGIWSCAN, &wrq) >= 0) {
        // The driver cannot report more than it was offered.
        if (wrq.u.data.length == 0) {
          diag_fail(0, "scan on %s found no network", ctx->ifname);
          diag_count().empty++;
          return -1;
        }
        if (wrq.u.data.length > size) {
          diag_fail(0, "SIOCGIWSCAN on %s: %u bytes reported in a buffer of %zu", ctx->ifname,
                    wrq.u.data.length, size);
          return -1;
        }
        if (we_decode_scan(ctx, buffer.data(), wrq.u.data.length, &range) != 0) {
          diag_fail(ENOMEM, "scan result of %s", ctx->ifname);
          return -1;
        }
        diag_count().passes++;
        return 0;
      }
      const int err = errno;
      if (err == E2BIG) {
        if (range.we_version_compiled < kLowestGrowVersion) {
          diag_fail(err, "SIOCGIWSCAN on %s (Wireless Extensions version %u cannot offer more)",
                    ctx->ifname, range.we_version_compiled);
          return -1;
        }
        size = grown_size(size, wrq.u.data.length);
        if (size == 0) {
          diag_fail(err, "SIOCGIWSCAN on %s (65535 bytes offered)", ctx->ifname);
          return -1;
        }
        diag_count().grows++;
        continue;
      }
      if (err != EAGAIN) {
        diag_fail(err, "SIOCGIWSCAN on %s", ctx->ifname);
        return -1;
      }
      break;
    }
    budget -= kRetryWaitUs;
    timeout = kRetryWaitUs;
    if (budget <= 0) {
      diag_fail(0, "scan on %s: no result within 15 s", ctx->ifname);
      return -1;
    }
  }
}

int we_scan(backend_ctx *ctx) {
  we_ctx *we = we_of(ctx);
  const WeSocket sock(we);
  if (!sock.is_open()) {
    diag_fail(errno, "socket");
    return -1;
  }
  // The name request fails on an interface without Wireless Extensions,
  // which is then left exactly as it was, down or up.
  iwreq name = we_request(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWNAME, &name) != 0) {
    const int err = errno;
    if (!we_lacks_extensions(ctx, err)) diag_fail(err, "%s", ctx->ifname);
    return -1;
  }
  return backend_refresh(ctx, nullptr, kRefresh);
}
