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

constexpr size_t kInitialSize = IW_SCAN_MAX_DATA;
// u.data.length is 16 bits wide: the largest buffer the driver can be offered.
constexpr size_t kLargestSize = 65535;
constexpr int kLowestGrowVersion = 17;

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
  iwreq wrq{};
  return we_ioctl(ctx, SIOCGIWMODE, &wrq) == 0 && wrq.u.mode == IW_MODE_MASTER;
}

// req null: directed at the ESSID and frequency of ctx.
int trigger(backend_ctx *ctx, const scan_request *req) {
  we_ctx *we = we_of(ctx);
  struct iw_scan_req request;
  memset(&request, 0, sizeof request);
  uint16_t flags = IW_SCAN_ALL_ESSID;
  if (req != nullptr) {
    request.scan_type = req->passive ? IW_SCAN_TYPE_PASSIVE : IW_SCAN_TYPE_ACTIVE;
    // As cfg80211 reports its own frequencies: whole MHz, exponent 6.
    for (int i = 0; i < req->freq_count; i++)
      request.channel_list[i] = {static_cast<int32_t>(req->freqs[i]), 6, 0, 0};
    if (req->freq_count != 0) {
      request.num_channels = req->freq_count;
      flags |= IW_SCAN_THIS_FREQ;
    }
  } else {
    request.essid_len = static_cast<uint8_t>(we->essid_len);
    memcpy(request.essid, we->essid, we->essid_len);
    request.num_channels = 1;
    request.channel_list[0] = we->freq;
    flags = IW_SCAN_THIS_ESSID | IW_SCAN_THIS_FREQ;
  }
  iwreq wrq{};
  wrq.u.data.pointer = &request;
  wrq.u.data.length = sizeof request;
  wrq.u.data.flags = flags;
  if (we_ioctl(ctx, SIOCSIWSCAN, &wrq) >= 0) return 0;
  // The driver answers fetches of a running scan with EAGAIN until it ends.
  const int err = errno;
  const char *hint = nullptr;
  if (err == EOPNOTSUPP && is_access_point(ctx))
    hint = "an access point scans only through -b NL80211";
  return trigger_refused(ctx, err, "SIOCSIWSCAN", hint);
}

}  // namespace

int we_frequencies(backend_ctx *ctx, uint32_t *mhz, int room) {
  // The instance's range, which a cached run reads later for itself.
  iw_range &range = we_of(ctx)->range;
  if (we_read_range(ctx, &range, "cannot scan") != 0) return -1;
  int count = 0;
  for (int i = 0; i < range.num_frequency && count < room; i++) {
    // A channel number given in place of a frequency names none.
    const double hz = iw_freq2float(&range.freq[i]);
    if (hz >= 1e6 && hz < 1e11) mhz[count++] = static_cast<uint32_t>(hz / 1e6);
  }
  return count;
}

int we_pass(backend_ctx *ctx, const scan_request *req, cell_batch *batch) {
  const we_ctx *we = we_of(ctx);
  struct iw_range range;
  if (we_read_range(ctx, &range, "cannot scan") != 0) return kPassFailed;
  // The results the driver holds are fetched without a scan of their own.
  if ((req == nullptr || !req->last) && trigger(ctx, req) != 0) return kPassFailed;

  // What the driver holds is there at once.
  long timeout = req != nullptr && req->last ? 0 : kFirstWaitUs;
  int retries = 0;
  size_t size = kInitialSize;
  for (;;) {
    if (wait_readable(we->fd, timeout) != 0) {
      cause_set(ctx->why, nullptr, errno, "poll");
      return kPassFailed;
    }
    for (;;) {
      char *buffer = batch->fetch_buffer(size);
      if (buffer == nullptr) {
        cause_set(ctx->why, nullptr, ENOMEM, "a scan result of %zu bytes", size);
        return kPassFailed;
      }
      batch->fetches++;
      iwreq wrq{};
      wrq.u.data.pointer = buffer;
      wrq.u.data.length = static_cast<uint16_t>(size);
      wrq.u.data.flags = 0;
      if (we_ioctl(ctx, SIOCGIWSCAN, &wrq) >= 0) {
        batch->reported = wrq.u.data.length;
        if (wrq.u.data.length == 0) return kPassDone;
        // The driver cannot report more than it was offered.
        if (wrq.u.data.length > size) {
          cause_set(ctx->why, nullptr, 0, "SIOCGIWSCAN on %s: %u bytes reported in a buffer of %zu",
                    ctx->ifname, wrq.u.data.length, size);
          return kPassFailed;
        }
        if (we_decode_scan(buffer, wrq.u.data.length, &range, batch) != 0) {
          cause_set(ctx->why, nullptr, ENOMEM, "scan result of %s", ctx->ifname);
          return kPassFailed;
        }
        return kPassDone;
      }
      const int err = errno;
      if (err == E2BIG) {
        if (range.we_version_compiled < kLowestGrowVersion) {
          cause_set(ctx->why, nullptr, err,
                    "SIOCGIWSCAN on %s (Wireless Extensions version %u cannot offer more)",
                    ctx->ifname, range.we_version_compiled);
          return kPassFailed;
        }
        size = grown_size(size, wrq.u.data.length);
        if (size == 0) {
          cause_set(ctx->why, nullptr, err, "SIOCGIWSCAN on %s (65535 bytes offered)", ctx->ifname);
          return kPassFailed;
        }
        batch->grows++;
        continue;
      }
      if (err != EAGAIN) return request_failed(ctx, err, "SIOCGIWSCAN");
      break;
    }
    if (++retries > kWaitRetries) return kPassTimedOut;
    timeout = kRetryWaitUs;
  }
}
