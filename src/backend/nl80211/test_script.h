// SPDX-License-Identifier: MIT
// Test support: the nl80211 backend's transport over a script of datagrams,
// the traffic that the VM suite recorded (tests/vm/run.sh with
// LUMRA_VM_RECORD=1) or a test's edit of it. Requests must match the script
// (all but their sequence number); replies and events are handed out in its
// order, each on the socket it belongs to. Time is virtual: a wait for a
// socket with nothing scripted next passes its whole timeout at once.
#pragma once

#include <errno.h>
#include <linux/genetlink.h>
#include <linux/nl80211.h>
#include <linux/sockios.h>
#include <net/if.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "backend/nl80211/io.h"
#include "backend/nl80211/test_messages.h"

namespace nlscript {

inline const std::string kFixtures =
    std::string(LUMRA_SOURCE_DIR) + "/src/backend/nl80211/fixtures/";

inline std::string slurp(const std::string &name) {
  std::ifstream f(kFixtures + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// kDelay: err ms of virtual time pass before the next record comes;
// kSignal: the next wait is cut short by a signal; kOpenError: the next
// socket cannot be opened (err).
enum Kind : int {
  kRequest = 0,
  kReply = 1,
  kEvent = 2,
  kEventError = 3,
  kDelay = 4,
  kSignal = 5,
  kOpenError = 6,
};

// One datagram, in an aligned copy of exactly its length (rounded up to
// whole words); kEventError: a receive on the event socket failing with err.
struct Record {
  int kind;
  std::vector<uint32_t> words;
  size_t len;
  int err = 0;
  uint8_t *data() { return reinterpret_cast<uint8_t *>(words.data()); }
  const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(words.data()); }
  nlmsghdr header() const {
    nlmsghdr h;
    memcpy(&h, data(), sizeof h);
    return h;
  }
  int genl_cmd() const { return data()[NLMSG_HDRLEN]; }  // genlmsghdr's first byte
  // A request or message of the nl80211 family (not of the control family) with cmd.
  bool is(int k, int cmd) const {
    return kind == k && header().nlmsg_type != GENL_ID_CTRL && genl_cmd() == cmd;
  }
  // The messages of the datagram, in place.
  std::vector<nlmsghdr *> messages() {
    std::vector<nlmsghdr *> out;
    for (size_t at = 0; at + sizeof(nlmsghdr) <= len;) {
      out.push_back(reinterpret_cast<nlmsghdr *>(data() + at));
      at += NLMSG_ALIGN(out.back()->nlmsg_len);
    }
    return out;
  }
};

inline Record record(int kind, const void *bytes, size_t len) {
  Record r{kind, std::vector<uint32_t>((len + 3) / 4), len};
  memcpy(r.data(), bytes, len);
  return r;
}

// Record file: kind (1 byte), 3 zero bytes, the length (4 bytes, host
// order), the bytes, zero padding to 4 bytes.
inline std::vector<Record> load(const std::string &name) {
  const std::string raw = slurp(name);
  std::vector<Record> out;
  for (size_t at = 0; at + 8 <= raw.size(); at += 8 + (out.back().len + 3) / 4 * 4) {
    uint32_t len;
    memcpy(&len, raw.data() + at + 4, sizeof len);
    out.push_back(record(static_cast<uint8_t>(raw[at]), raw.data() + at + 8, len));
  }
  return out;
}

inline Record event_error(int err) { return Record{kEventError, {}, 0, err}; }
inline Record delay(int ms) { return Record{kDelay, {}, 0, ms}; }
inline Record signal_arrives() { return Record{kSignal, {}, 0, EINTR}; }
inline Record open_error(int err) { return Record{kOpenError, {}, 0, err}; }
// A reply of one control message (NLMSG_ERROR with code, or NLMSG_DONE).
inline Record control(uint16_t type, int32_t code) {
  Datagram d;
  d.control(type, code);
  return record(kReply, d.bytes().data(), d.size());
}

// The script and what the run did with it. One at a time: the transport's
// functions take no context.
struct Script {
  std::vector<Record> records;
  size_t at = 0;
  uint32_t ifindex = 0;  // what SIOCGIFINDEX answers: the scripted GET_INTERFACE's
  short flags = IFF_UP;
  int set_flags = 0;  // SIOCSIFFLAGS requests
  int64_t now_us = 1000000;
  std::vector<std::string> faults;  // where the run left the script
  int open_sockets = 0;
  int next_fd = 100;
  int request_fd = -1;
  int event_fd = -1;
  uint32_t seq = 0;
  static inline Script *current = nullptr;

  explicit Script(std::vector<Record> r) : records(std::move(r)) {
    for (Record &rec : records)
      if (ifindex == 0 && rec.is(kRequest, NL80211_CMD_GET_INTERFACE))
        if (const nlattr *a = find(rec.messages().front(), {NL80211_ATTR_IFINDEX}))
          ifindex = mnl_attr_get_u32(a);
    current = this;
  }
  ~Script() { current = nullptr; }
  Script(const Script &) = delete;
  Script &operator=(const Script &) = delete;
  bool done() const { return at == records.size(); }

  // The kind the next record has for fd, or -1.
  int next_for(int fd) const {
    const int kind = done() ? -1 : records[at].kind;
    if (fd == request_fd && kind == kReply) return kind;
    if (fd == event_fd && (kind == kEvent || kind == kEventError)) return kind;
    return -1;
  }
  void fault(const std::string &what) {
    faults.push_back(what + " at record " + std::to_string(at));
  }
  void wait(int ms) { now_us += int64_t{ms} * 1000; }

  static int open(uint32_t *portid) {
    Script *s = current;
    if (!s->done() && s->records[s->at].kind == kOpenError) {
      errno = s->records[s->at++].err;
      return -1;
    }
    // The first socket is the request socket; events come to the one that
    // joins the scan group.
    if (s->request_fd < 0) s->request_fd = s->next_fd;
    s->open_sockets++;
    // The port the recorded replies were sent to.
    const auto reply = std::find_if(s->records.begin(), s->records.end(),
                                    [](const Record &r) { return r.kind == kReply; });
    *portid = reply != s->records.end() ? reply->header().nlmsg_pid : 0;
    return s->next_fd++;
  }
  static int join(int fd, uint32_t) {
    current->event_fd = fd;
    return 0;
  }
  static ssize_t send(int fd, const void *buf, size_t len) {
    Script *s = current;
    if (fd != s->request_fd || s->done() || s->records[s->at].kind != kRequest) {
      s->fault("an unscripted request");
      errno = EPROTO;
      return -1;
    }
    const Record &r = s->records[s->at];
    nlmsghdr sent;
    memcpy(&sent, buf, sizeof sent);
    s->seq = sent.nlmsg_seq;
    // All but the sequence number, which differs from run to run, and a
    // dump's acknowledgement flag, which the kernel ignores (older recordings
    // set it); any other request must ask for one, or its reply never ends.
    const nlmsghdr want = r.header();
    const auto flags = [](const nlmsghdr &h) {
      return (h.nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP ? h.nlmsg_flags & ~NLM_F_ACK
                                                        : h.nlmsg_flags;
    };
    if (len != r.len || sent.nlmsg_type != want.nlmsg_type || flags(sent) != flags(want) ||
        memcmp(static_cast<const uint8_t *>(buf) + 12, r.data() + 12, len - 12) != 0)
      s->fault("a request other than the recorded one");
    s->at++;
    return static_cast<ssize_t>(len);
  }
  static ssize_t recv(int fd, void *buf, size_t len) {
    Script *s = current;
    const int kind = s->next_for(fd);
    if (kind < 0) s->fault("a read with nothing scripted");
    if (kind < 0 || kind == kEventError) {
      errno = kind < 0 ? EAGAIN : s->records[s->at++].err;
      return -1;
    }
    Record r = s->records[s->at++];
    if (r.len > len) {
      errno = ENOSPC;
      return -1;
    }
    if (kind == kReply)
      for (nlmsghdr *nlh : r.messages()) nlh->nlmsg_seq = s->seq;
    memcpy(buf, r.data(), r.len);
    return static_cast<ssize_t>(r.len);
  }
  static int poll(int fd, int timeout_ms) {
    Script *s = current;
    if (!s->done() && s->records[s->at].kind == kSignal) {
      errno = s->records[s->at++].err;
      return -1;
    }
    for (; !s->done() && s->records[s->at].kind == kDelay; s->at++) {
      Record &d = s->records[s->at];
      if (timeout_ms >= 0 && timeout_ms < d.err) {
        d.err -= timeout_ms;
        s->wait(timeout_ms);
        return 0;
      }
      s->wait(d.err);
    }
    if (s->next_for(fd) >= 0) return 1;
    // Nothing would ever come.
    if (timeout_ms < 0) s->fault("a wait without end");
    s->wait(std::max(timeout_ms, 0));
    return 0;
  }
  static int close(int) {
    current->open_sockets--;
    return 0;
  }
  static int inet_socket() {
    current->open_sockets++;
    return current->next_fd++;
  }
  static int ioctl(int, unsigned long request, ifreq *ifr) {
    Script *s = current;
    if (s->ifindex == 0 ||
        (request != SIOCGIFINDEX && request != SIOCGIFFLAGS && request != SIOCSIFFLAGS)) {
      errno = ENODEV;
      return -1;
    }
    if (request == SIOCGIFINDEX) ifr->ifr_ifindex = static_cast<int>(s->ifindex);
    if (request == SIOCGIFFLAGS) ifr->ifr_flags = s->flags;
    if (request == SIOCSIFFLAGS) {
      s->flags = ifr->ifr_flags;
      s->set_flags++;
    }
    return 0;
  }
  static int64_t now() { return current->now_us; }
  static void pause(int ms) { current->wait(ms); }
};

inline const nl_transport kScripted = {Script::open,        Script::join,  Script::send,
                                       Script::recv,        Script::poll,  Script::close,
                                       Script::inet_socket, Script::ioctl, Script::now,
                                       Script::pause};

}  // namespace nlscript
