// Scanning: triggering, waiting for and fetching scan results.
#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backend/we/we.h"
#include "backend/we/wext.h"

namespace {

constexpr int kPasses = 5;
constexpr int kPauseMs = 2000;
constexpr long kFirstWaitUs = 250000;
constexpr long kRetryWaitUs = 100000;
constexpr long kBudgetUs = 15000000 - kFirstWaitUs;
constexpr size_t kInitialSize = IW_SCAN_MAX_DATA;
// u.data.length is 16 bits wide: the largest buffer the driver can be offered.
constexpr size_t kLargestSize = 65535;
constexpr int kLowestScanVersion = 14;
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

// 64 bits: microseconds since boot overflow a 32-bit long within the hour.
int64_t monotonic_us() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
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
  // EBUSY: the radio is already scanning (for wpa_supplicant, say). The
  // driver answers fetches with EAGAIN until that scan ends and then returns
  // what it found, so the pass waits for it like for a scan of its own.
  return errno == EBUSY ? 0 : -1;
}

}  // namespace

int we_scan_once(backend_ctx *ctx, int directed, const void *essid, int essid_len,
                 const struct iw_freq *freq) {
  const we_ctx *we = we_of(ctx);
  struct iw_range range;
  memset(&range, 0, sizeof range);
  if (iw_get_range_info(we->fd, ctx->ifname, &range) < 0) return -1;
  if (range.we_version_compiled < kLowestScanVersion) return -1;
  if (trigger(ctx, directed, essid, essid_len, freq) != 0) return -1;

  long timeout = kFirstWaitUs;
  long budget = kBudgetUs;
  ScanBuffer buffer;
  size_t size = kInitialSize;
  for (;;) {
    if (wait_readable(we->fd, timeout) != 0) return -1;
    for (;;) {
      if (buffer.resize(size) != 0) return -1;
      iwreq wrq = we_request(ctx->ifname);
      wrq.u.data.pointer = buffer.data();
      wrq.u.data.length = static_cast<uint16_t>(size);
      wrq.u.data.flags = 0;
      if (ioctl(we->fd, SIOCGIWSCAN, &wrq) >= 0) {
        // The driver cannot report more than it was offered.
        if (wrq.u.data.length == 0 || wrq.u.data.length > size) return -1;
        return we_decode_scan(ctx, buffer.data(), wrq.u.data.length, &range);
      }
      if (errno == E2BIG) {
        if (range.we_version_compiled < kLowestGrowVersion) return -1;
        size = grown_size(size, wrq.u.data.length);
        if (size == 0) return -1;
        continue;
      }
      if (errno != EAGAIN) return -1;
      break;
    }
    budget -= kRetryWaitUs;
    timeout = kRetryWaitUs;
    if (budget <= 0) return -1;
  }
}

int we_scan(backend_ctx *ctx) {
  we_ctx *we = we_of(ctx);
  we->fd = iw_sockets_open();
  if (we->fd < 0) return -1;

  int result = -1;
  // The name request fails on an interface without Wireless Extensions,
  // which is then left exactly as it was, down or up.
  iwreq name = we_request(ctx->ifname);
  ifreq ifr = we_ifreq(ctx->ifname);
  if (ioctl(we->fd, SIOCGIWNAME, &name) == 0 && ioctl(we->fd, SIOCGIFFLAGS, &ifr) == 0) {
    bool up = (ifr.ifr_flags & IFF_UP) != 0;
    if (!up) {
      ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
      up = ioctl(we->fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (up) {
      we_link_snapshot(ctx);
      result = 0;
      for (int pass = 1; pass <= kPasses; pass++) {
        if (we_scan_once(ctx, 0, nullptr, 0, nullptr) != 0) {
          result = -1;
          break;
        }
        // A signal may shorten the pause.
        if (pass < kPasses) poll(nullptr, 0, kPauseMs);
      }
    }
  }
  close(we->fd);
  we->fd = -1;
  return result;
}
