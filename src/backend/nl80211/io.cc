// SPDX-License-Identifier: MIT
#include "backend/nl80211/io.h"

#include <errno.h>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diag/clock.h"
#include "backend/nl80211/messages.h"

void (*nl_record_hook)(int kind, const void *data, size_t len) = nullptr;

namespace {

// --- the system's transport ----------------------------------------------------

int sys_open(uint32_t *portid) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
  if (fd < 0) return -1;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  socklen_t len = sizeof addr;
  // The kernel picks the port; getsockname tells which.
  if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0 || len != sizeof addr) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  *portid = addr.nl_pid;
  return fd;
}

int sys_join(int fd, uint32_t group) {
  return setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group);
}

ssize_t sys_send(int fd, const void *buf, size_t len) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return sendto(fd, buf, len, 0, reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel);
}

// One datagram; one cut short by the buffer fails (ENOSPC). Only the kernel
// and other netlink sockets can send to a netlink socket; the walks check
// the sender's port.
ssize_t sys_recv(int fd, void *buf, size_t len) {
  const ssize_t n = recv(fd, buf, len, MSG_TRUNC);
  if (n > static_cast<ssize_t>(len)) {
    errno = ENOSPC;
    return -1;
  }
  return n;
}

int sys_poll(int fd, int timeout_ms) {
  pollfd pfd{fd, POLLIN, 0};
  return poll(&pfd, 1, timeout_ms);
}

int sys_inet_socket() { return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

int sys_ioctl(int fd, unsigned long request, ifreq *ifr) { return ioctl(fd, request, ifr); }

void sys_pause(int ms) { poll(nullptr, 0, ms); }

}  // namespace

const nl_transport kNlSystem = {
    .open = sys_open,
    .join = sys_join,
    .send = sys_send,
    .recv = sys_recv,
    .poll = sys_poll,
    .close = close,
    .inet_socket = sys_inet_socket,
    .ioctl = sys_ioctl,
    .now_us = monotonic_us,
    .pause = sys_pause,
};

NlSocket::~NlSocket() {
  if (fd_ >= 0) io_->close(fd_);
}

int NlSocket::open(const nl_transport *io) {
  io_ = io;
  fd_ = io->open(&portid_);
  return fd_ >= 0 ? 0 : -1;
}

NlBuffer::~NlBuffer() { free(data_); }

int NlBuffer::allocate() {
  if (data_ == nullptr) data_ = malloc(kSize);
  return data_ != nullptr ? 0 : -1;
}

namespace {

// One datagram into the session's buffer; its length, or -1.
ssize_t receive(nl_session *s, const NlSocket &sock, int kind) {
  ssize_t n = s->io->recv(sock.fd(), s->buffer.data(), NlBuffer::kSize);
  if (n > 0 && nl_record_hook != nullptr)
    nl_record_hook(kind, s->buffer.data(), static_cast<size_t>(n));
  return n;
}

nl_bytes received(const nl_session *s, ssize_t n) {
  return {static_cast<const uint8_t *>(s->buffer.data()), static_cast<size_t>(n)};
}

int family_reply(const nlmsghdr *nlh, void *data) {
  return nl_parse_family(nlh, static_cast<nl_family *>(data));
}

// Waits until fd is readable: 1, or 0 when timeout_ms ran out, -1 on failure.
int wait_readable(const nl_session *s, int fd, int timeout_ms) {
  for (;;) {
    int ready = s->io->poll(fd, timeout_ms);
    if (ready >= 0) return ready > 0 ? 1 : 0;
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

struct wait_state {
  uint32_t ifindex;
  int seen;  // -1 none, else kScanResults or kScanAborted
};

int scan_event(const nlmsghdr *nlh, void *data) {
  auto *w = static_cast<wait_state *>(data);
  nl_scan_event event;
  // Other families cannot reach a socket that joined only nl80211's group.
  if (nl_parse_scan_event(nlh, &event) != 0) return -1;
  if (event.ifindex != w->ifindex || w->seen >= 0) return 0;
  if (event.cmd == NL80211_CMD_NEW_SCAN_RESULTS) w->seen = kScanResults;
  if (event.cmd == NL80211_CMD_SCAN_ABORTED) w->seen = kScanAborted;
  return 0;
}

int ignore_event(const nlmsghdr *, void *) { return 0; }

// A reply that failed part-way may leave datagrams queued (the rest of a
// dump, which the kernel makes as each part is read): they are read and
// dropped, so that the next request never takes them for its reply. -1 with
// errno kept.
int reply_failed(nl_session *s) {
  const int err = errno;
  while (wait_readable(s, s->requests.fd(), 0) > 0 && receive(s, s->requests, kRecordReply) > 0) {
  }
  errno = err;
  return -1;
}

}  // namespace

int nl_session_open(nl_session *s) {
  if (s->buffer.allocate() != 0 || s->requests.open(s->io) != 0) return -1;
  s->seq = static_cast<uint32_t>(s->io->now_us());  // any start will do

  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = GENL_ID_CTRL;
  nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  genlmsghdr genl{CTRL_CMD_GETFAMILY, 1, 0};
  memcpy(mnl_nlmsg_put_extra_header(nlh, sizeof genl), &genl, sizeof genl);
  if (!mnl_attr_put_strz_check(nlh, sizeof buf, CTRL_ATTR_FAMILY_NAME, NL80211_GENL_NAME))
    return -1;
  nl_family family{};
  if (nl_request_run(s, nlh, family_reply, &family) != 0 || family.id == 0) return -1;
  s->family = family.id;
  s->scan_group = family.scan_group;
  return 0;
}

int nl_session_listen(nl_session *s) {
  if (s->scan_group == 0 || s->events.open(s->io) != 0) return -1;
  return s->io->join(s->events.fd(), s->scan_group);
}

nlmsghdr *nl_request_start(nl_session *s, void *buf, uint8_t cmd, uint16_t flags) {
  memset(buf, 0, kRequestSize);
  nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = s->family;
  nlh->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  genlmsghdr genl{cmd, 0, 0};
  memcpy(mnl_nlmsg_put_extra_header(nlh, sizeof genl), &genl, sizeof genl);
  return nlh;
}

int nl_request_run(nl_session *s, nlmsghdr *req, nl_message_cb cb, void *data) {
  req->nlmsg_seq = ++s->seq;
  // A request without a dump is acknowledged, so that one without a reply
  // ends too; a dump ends with its end marker.
  if ((req->nlmsg_flags & NLM_F_DUMP) != NLM_F_DUMP) req->nlmsg_flags |= NLM_F_ACK;
  if (nl_record_hook != nullptr) nl_record_hook(kRecordRequest, req, req->nlmsg_len);
  if (s->io->send(s->requests.fd(), req, req->nlmsg_len) < 0) return -1;
  bool interrupted = false;
  for (;;) {
    ssize_t n = receive(s, s->requests, kRecordReply);
    if (n <= 0) {
      if (n == 0) errno = EPROTO;
      return reply_failed(s);
    }
    nl_walk_result r =
        nl_walk_reply(received(s, n), req->nlmsg_seq, s->requests.portid(), cb, data, &interrupted);
    if (r == kNlFailed) return reply_failed(s);
    if (r == kNlDone) return interrupted ? kNlDumpInterrupted : 0;
  }
}

int nl_dump_run(nl_session *s, nlmsghdr *req, nl_message_cb cb, void *data,
                void (*reset)(void *data)) {
  int result = kNlDumpInterrupted;
  for (int attempt = 0; attempt <= kDumpRedos && result == kNlDumpInterrupted; attempt++) {
    reset(data);
    result = nl_request_run(s, req, cb, data);
  }
  return result;
}

void nl_drain_events(nl_session *s) {
  for (;;) {
    if (wait_readable(s, s->events.fd(), 0) <= 0) return;
    ssize_t n = receive(s, s->events, kRecordEvent);
    // Events lost to a full buffer: what is queued still goes.
    if (n < 0 && errno == ENOBUFS) continue;
    if (n <= 0) return;
    nl_walk_events(received(s, n), ignore_event, nullptr);
  }
}

nl_scan_wait nl_wait_scan(nl_session *s, uint32_t ifindex, long budget_us) {
  // One deadline for the whole wait, on the monotonic clock.
  const int64_t deadline = s->io->now_us() / 1000 + budget_us / 1000;
  wait_state w{ifindex, -1};
  bool lost = false;
  for (;;) {
    int64_t left = deadline - s->io->now_us() / 1000;
    if (left <= 0) return lost ? kScanUnseen : kScanTimedOut;
    // Once events were lost, only those already queued are read: the end
    // may have been among the lost, and no wait would bring it back.
    int ready = wait_readable(s, s->events.fd(), lost ? 0 : static_cast<int>(left));
    if (ready < 0) return kScanFailed;
    if (ready == 0) {
      if (lost) return kScanUnseen;
      continue;
    }
    ssize_t n = receive(s, s->events, kRecordEvent);
    // The socket's buffer overflowed: events were dropped, the end of the
    // scan among them perhaps.
    if (n < 0 && errno == ENOBUFS) {
      lost = true;
      continue;
    }
    if (n <= 0) return kScanFailed;
    if (nl_walk_events(received(s, n), scan_event, &w) != 0) return kScanFailed;
    if (w.seen >= 0) return static_cast<nl_scan_wait>(w.seen);
  }
}
