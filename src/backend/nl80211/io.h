// SPDX-License-Identifier: MIT
// The thin I/O layer of the nl80211 backend: netlink sockets, requests and
// their replies, and the wait for scan events. Everything that a reply or
// event means is decided by the pure parsers (messages.h).
#pragma once

#include <libmnl/libmnl.h>
#include <net/if.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "backend/nl80211/netlink.h"

// What the backend asks of the system: netlink sockets, the interface
// requests, the clock and the pauses. Tests run the operations over a
// script instead (recorded traffic, failures).
struct nl_transport {
  int (*open)(uint32_t *portid);  // a bound generic netlink socket, or -1
  int (*join)(int fd, uint32_t group);
  ssize_t (*send)(int fd, const void *buf, size_t len);
  ssize_t (*recv)(int fd, void *buf, size_t len);  // one datagram
  int (*poll)(int fd, int timeout_ms);             // as poll(2) for POLLIN on fd
  int (*close)(int fd);
  int (*inet_socket)();  // the datagram socket of the interface requests
  int (*ioctl)(int fd, unsigned long request, ifreq *ifr);
  int64_t (*now_us)();    // the monotonic clock
  void (*pause)(int ms);  // between passes; a signal may shorten it
};
extern const nl_transport kNlSystem;

// A socket of the transport, closed with its owner.
class NlSocket {
 public:
  NlSocket() = default;
  NlSocket(const NlSocket &) = delete;
  NlSocket &operator=(const NlSocket &) = delete;
  ~NlSocket();
  // Opens and binds a generic netlink socket; 0 or -1.
  int open(const nl_transport *io);
  int fd() const { return fd_; }
  uint32_t portid() const { return portid_; }

 private:
  const nl_transport *io_ = nullptr;
  int fd_ = -1;
  uint32_t portid_ = 0;
};

// The receive buffer of one operation, released with it. Large enough for
// any datagram the kernel sends to a reader of this size.
class NlBuffer {
 public:
  static constexpr size_t kSize = 16384;
  NlBuffer() = default;
  NlBuffer(const NlBuffer &) = delete;
  NlBuffer &operator=(const NlBuffer &) = delete;
  ~NlBuffer();
  int allocate();
  void *data() const { return data_; }

 private:
  void *data_ = nullptr;
};

// One operation's connection to nl80211: the request socket, the socket that
// listens to the "scan" group, and the family's numbers.
struct nl_session {
  explicit nl_session(const nl_transport *transport) : io(transport) {}
  const nl_transport *io;
  NlSocket requests;
  NlSocket events;
  NlBuffer buffer;
  uint16_t family = 0;
  uint32_t scan_group = 0;
  uint32_t seq = 0;
};

// Opens the request socket and looks up the nl80211 family; 0 or -1.
int nl_session_open(nl_session *s);
// Joins the "scan" multicast group on the event socket; 0 or -1.
int nl_session_listen(nl_session *s);

// Request building: a generic netlink header for cmd on the family, then
// attributes. buf must hold kRequestSize bytes, aligned.
constexpr size_t kRequestSize = 512;
nlmsghdr *nl_request_start(nl_session *s, void *buf, uint8_t cmd, uint16_t flags);

// Sends a request and walks its reply, datagram by datagram, until it is
// complete; cb gets every data message. 0, or -1 with errno set (for an error
// reply, the kernel's code), or kNlDumpInterrupted when the kernel flagged the
// dump as interrupted (its list changed while it was read). A failed reply
// leaves nothing queued for the next request.
constexpr int kNlDumpInterrupted = 1;
int nl_request_run(nl_session *s, nlmsghdr *req, nl_message_cb cb, void *data);

// How often an interrupted dump is redone before the operation gives up.
constexpr int kDumpRedos = 3;
// nl_request_run for a dump, redone while it is interrupted; reset(data)
// before every try. 0, -1 with errno, or kNlDumpInterrupted once every try
// was interrupted.
int nl_dump_run(nl_session *s, nlmsghdr *req, nl_message_cb cb, void *data,
                void (*reset)(void *data));

// Reads pending scan events without waiting, so that a later wait sees only
// what follows.
void nl_drain_events(nl_session *s);

// What the wait for the end of a scan on ifindex saw.
enum nl_scan_wait : int {
  kScanResults = 0,   // NEW_SCAN_RESULTS
  kScanAborted = 1,   // SCAN_ABORTED
  kScanTimedOut = 2,  // neither within the budget
  kScanUnseen = 3,    // events were lost (ENOBUFS), and neither was among those queued after
  kScanFailed = -1,   // the socket failed, or a malformed event
};
nl_scan_wait nl_wait_scan(nl_session *s, uint32_t ifindex, long budget_us);

// Test support: when set, every request the backend sends and every datagram
// it receives is handed to it first (the VM suite's recorder writes them out
// as the fixtures of the unit tests).
enum nl_record_kind : int { kRecordRequest = 0, kRecordReply = 1, kRecordEvent = 2 };
extern void (*nl_record_hook)(int kind, const void *data, size_t len);
