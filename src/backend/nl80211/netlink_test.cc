// SPDX-License-Identifier: MIT
// Reply and event walks over whole datagrams: multipart dumps across
// several reads, acknowledgements and error replies, and every way a
// datagram can be cut, padded or sent by someone else.
#include "backend/nl80211/netlink.h"

#include <errno.h>
#include <gtest/gtest.h>

#include "backend/nl80211/test_messages.h"

namespace {

constexpr uint32_t kSeq = 7;
constexpr uint32_t kPort = 42;

int count(const nlmsghdr *, void *data) {
  ++*static_cast<int *>(data);
  return 0;
}

nl_walk_result walk(const Datagram &d, int *n) {
  return nl_walk_reply(d.bytes(), kSeq, kPort, count, n);
}

// A datagram of one control message.
Datagram control(uint16_t type, int32_t code) {
  Datagram d;
  d.control(type, code, kSeq, kPort);
  return d;
}
// A datagram of one BSS message.
Datagram bss(uint32_t seq = kSeq, uint32_t port = kPort) {
  Datagram d;
  put_bss(d, BssFields{}, 0x1c, NLM_F_MULTI, seq, port);
  return d;
}
// A whole dump of one BSS, edited.
Datagram dump(void (*edit)(Datagram &) = [](Datagram &) {}) {
  Datagram d = bss();
  d.control(NLMSG_DONE, 0, kSeq, kPort);
  edit(d);
  return d;
}
nlmsghdr *head(Datagram &d) { return const_cast<nlmsghdr *>(first(d)); }

// A multipart dump may come in several reads.
TEST(NlWalk, Replies) {
  Datagram two = bss();
  put_bss(two, BssFields{}, 0x1c, NLM_F_MULTI, kSeq, kPort);
  const struct {
    const char *what;
    Datagram d;
    nl_walk_result result;
    int messages;
  } cases[] = {
      {"a read with more to come", two, kNlMore, 2},
      {"the last read", dump(), kNlDone, 1},
      {"a dump with nothing in it", control(NLMSG_DONE, 0), kNlDone, 0},
      {"an acknowledgement", control(NLMSG_ERROR, 0), kNlDone, 0},
  };
  for (const auto &c : cases) {
    int n = 0;
    EXPECT_EQ(walk(c.d, &n), c.result) << c.what;
    EXPECT_EQ(n, c.messages) << c.what;
  }
}

TEST(NlWalk, FailingReplies) {
  const struct {
    const char *what;
    Datagram d;
    int err;
  } cases[] = {
      {"a scan already running", control(NLMSG_ERROR, -EBUSY), EBUSY},
      {"no permission", control(NLMSG_ERROR, -EPERM), EPERM},
      {"no nl80211 interface", control(NLMSG_ERROR, -ENODEV), ENODEV},
      {"a dump that failed part-way", control(NLMSG_DONE, -ENOBUFS), ENOBUFS},
      // Cut anywhere: inside the header, inside the message, inside the end marker.
      {"cut at 1", dump([](Datagram &d) { d.truncate(1); }), EPROTO},
      {"cut at 15", dump([](Datagram &d) { d.truncate(15); }), EPROTO},
      {"cut at 17", dump([](Datagram &d) { d.truncate(17); }), EPROTO},
      {"cut 24 before the end", dump([](Datagram &d) { d.truncate(d.size() - 24); }), EPROTO},
      {"cut 1 before the end", dump([](Datagram &d) { d.truncate(d.size() - 1); }), EPROTO},
      {"length over the datagram",
       dump([](Datagram &d) { head(d)->nlmsg_len = static_cast<uint32_t>(d.size() + 4); }), EPROTO},
      {"length of 2^31 or more, which a signed comparison lets through",
       dump([](Datagram &d) { head(d)->nlmsg_len = 0xff000001u; }), EPROTO},
      {"length below the header's", dump([](Datagram &d) { head(d)->nlmsg_len = 8; }), EPROTO},
      {"bytes after the end", dump([](Datagram &d) {
         d.append_raw({0, 0, 0, 0});
       }),
       EPROTO},
      {"bytes too few to be a message after a whole one",
       [] {
         Datagram d = bss();
         d.append_raw({1, 2, 3, 4, 5, 6, 7, 8});
         return d;
       }(),
       EPROTO},
      {"another sequence", bss(kSeq + 1), EPROTO},
      {"another port", bss(kSeq, kPort + 1), EPROTO},
      {"a control message that no reply carries", control(NLMSG_OVERRUN, 0), EPROTO},
      {"an error reply too short to hold its code",
       [] {
         Datagram d = control(NLMSG_ERROR, -EBUSY);
         d.truncate(d.size() - 4);
         head(d)->nlmsg_len -= 4;
         return d;
       }(),
       EPROTO},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    int n = 0;
    errno = 0;
    EXPECT_EQ(walk(c.d, &n), kNlFailed);
    EXPECT_EQ(errno, c.err);
  }
  // Empty and misaligned datagrams.
  const Datagram whole = dump();
  int n = 0;
  EXPECT_EQ(nl_walk_reply({}, kSeq, kPort, count, &n), kNlFailed);
  EXPECT_EQ(nl_walk_reply(whole.bytes().subspan(1), kSeq, kPort, count, &n), kNlFailed);
  // The handler refusing a message fails the walk.
  EXPECT_EQ(nl_walk_reply(
                whole.bytes(), kSeq, kPort, [](const nlmsghdr *, void *) { return -1; }, nullptr),
            kNlFailed);
}

TEST(NlWalk, EventsComeFromTheKernelWithoutSequence) {
  int n = 0;
  Datagram events;
  events.begin(0x1c, NL80211_CMD_NEW_SCAN_RESULTS);
  events.end();
  events.begin(0x1c, NL80211_CMD_TRIGGER_SCAN);
  events.end();
  EXPECT_EQ(nl_walk_events(events.bytes(), count, &n), 0);
  EXPECT_EQ(n, 2);
  Datagram sent;
  sent.begin(0x1c, NL80211_CMD_NEW_SCAN_RESULTS, 0, 5, 0);
  sent.end();
  EXPECT_EQ(nl_walk_events(sent.bytes(), count, &n), -1);
  Datagram from_a_program;  // sequence 0, but a port other than the kernel's
  from_a_program.begin(0x1c, NL80211_CMD_NEW_SCAN_RESULTS, 0, 0, 5);
  from_a_program.end();
  EXPECT_EQ(nl_walk_events(from_a_program.bytes(), count, &n), -1);
  Datagram done;
  done.control(NLMSG_DONE, 0);
  EXPECT_EQ(nl_walk_events(done.bytes(), count, &n), -1);
}

int collect(const nlattr *attr, void *data) {
  static_cast<std::vector<uint16_t> *>(data)->push_back(mnl_attr_get_type(attr));
  return 0;
}

TEST(NlAttributes, RunsOfWholeAttributes) {
  alignas(4) uint8_t run[64] = {};
  // Two attributes: type 1 with 4 bytes, type 2 with 1 byte (padded to 8).
  const uint8_t bytes[] = {8, 0, 1, 0, 1, 2, 3, 4, 5, 0, 2, 0, 9, 0, 0, 0};
  memcpy(run, bytes, sizeof bytes);
  std::vector<uint16_t> types;
  EXPECT_EQ(nl_each_attr(run, sizeof bytes, collect, &types), 0);
  EXPECT_EQ(types, (std::vector<uint16_t>{1, 2}));
  types.clear();
  EXPECT_EQ(nl_each_attr(run, 13, collect, &types), 0);  // the last one's padding left out

  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;
  } const bad[] = {
      {"length past the end", {12, 0, 1, 0, 1, 2, 3, 4}},
      {"length below the header", {2, 0, 1, 0}},
      {"a partial header after a whole attribute", {4, 0, 1, 0, 8, 0}},
      {"three stray bytes", {4, 0, 1, 0, 0, 0, 0}},
  };
  for (const Case &c : bad) {
    memset(run, 0, sizeof run);
    memcpy(run, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(nl_each_attr(run, c.bytes.size(), collect, &types), -1) << c.what;
  }
  EXPECT_EQ(nl_each_attr(run, 0, collect, &types), 0);
  EXPECT_EQ(nl_each_attr(run + 1, 4, collect, &types), -1);  // misaligned
}

}  // namespace
