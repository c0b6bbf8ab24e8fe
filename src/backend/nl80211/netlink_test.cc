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

TEST(NlWalk, MultipartDumpSplitAcrossReads) {
  Datagram first_read;
  put_bss(first_read, BssFields{});
  put_bss(first_read, BssFields{});
  Datagram second_read;
  put_bss(second_read, BssFields{});
  second_read.control(NLMSG_DONE, 0, kSeq, kPort);
  int n = 0;
  EXPECT_EQ(walk(first_read, &n), kNlMore);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(walk(second_read, &n), kNlDone);
  EXPECT_EQ(n, 3);

  // A dump with nothing in it.
  Datagram empty;
  empty.control(NLMSG_DONE, 0, kSeq, kPort);
  n = 0;
  EXPECT_EQ(walk(empty, &n), kNlDone);
  EXPECT_EQ(n, 0);
}

TEST(NlWalk, AcknowledgementsAndErrorReplies) {
  int n = 0;
  Datagram ack;
  ack.control(NLMSG_ERROR, 0, kSeq, kPort);
  EXPECT_EQ(walk(ack, &n), kNlDone);

  struct Case {
    uint16_t type;
    int32_t code;
    int err;
  } const cases[] = {
      {NLMSG_ERROR, -EBUSY, EBUSY},     // a scan already running
      {NLMSG_ERROR, -EPERM, EPERM},     // no permission
      {NLMSG_ERROR, -ENODEV, ENODEV},   // no nl80211 interface
      {NLMSG_DONE, -ENOBUFS, ENOBUFS},  // a dump that failed part-way
  };
  for (const Case &c : cases) {
    Datagram d;
    d.control(c.type, c.code, kSeq, kPort);
    EXPECT_EQ(walk(d, &n), kNlFailed);
    EXPECT_EQ(errno, c.err);
  }
}

TEST(NlWalk, MalformedDatagramsFail) {
  int n = 0;
  Datagram whole;
  put_bss(whole, BssFields{});
  whole.control(NLMSG_DONE, 0, kSeq, kPort);

  // Cut anywhere: inside the header, inside the message, inside the end marker.
  for (size_t cut : {size_t{1}, size_t{15}, size_t{17}, whole.size() - 24, whole.size() - 1}) {
    Datagram d = whole;
    d.truncate(cut);
    n = 0;
    EXPECT_EQ(walk(d, &n), kNlFailed) << "cut at " << cut;
    EXPECT_EQ(errno, EPROTO);
  }
  // A length that claims more than the datagram holds.
  Datagram oversized = whole;
  const_cast<nlmsghdr *>(first(oversized))->nlmsg_len = static_cast<uint32_t>(whole.size() + 4);
  EXPECT_EQ(walk(oversized, &n), kNlFailed);
  // A length of 2^31 or more, which a signed comparison would let through.
  Datagram huge = whole;
  const_cast<nlmsghdr *>(first(huge))->nlmsg_len = 0xff000001u;
  EXPECT_EQ(walk(huge, &n), kNlFailed);
  // A length below the header's.
  Datagram undersized = whole;
  const_cast<nlmsghdr *>(first(undersized))->nlmsg_len = 8;
  EXPECT_EQ(walk(undersized, &n), kNlFailed);
  // Bytes after the end marker.
  Datagram trailing = whole;
  trailing.append_raw({0, 0, 0, 0});
  EXPECT_EQ(walk(trailing, &n), kNlFailed);
  // Bytes too few to be a message after a whole one.
  Datagram partial;
  put_bss(partial, BssFields{});
  partial.append_raw({1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(walk(partial, &n), kNlFailed);
  // Empty and misaligned datagrams.
  EXPECT_EQ(nl_walk_reply({}, kSeq, kPort, count, &n), kNlFailed);
  EXPECT_EQ(nl_walk_reply(whole.bytes().subspan(1), kSeq, kPort, count, &n), kNlFailed);
}

TEST(NlWalk, UnexpectedSendersAndMessagesFail) {
  int n = 0;
  Datagram other_seq;
  put_bss(other_seq, BssFields{}, 0x1c, NLM_F_MULTI, kSeq + 1, kPort);
  EXPECT_EQ(walk(other_seq, &n), kNlFailed);
  Datagram other_port;
  put_bss(other_port, BssFields{}, 0x1c, NLM_F_MULTI, kSeq, kPort + 1);
  EXPECT_EQ(walk(other_port, &n), kNlFailed);
  // A control message type that no reply carries.
  Datagram overrun;
  overrun.control(NLMSG_OVERRUN, 0, kSeq, kPort);
  EXPECT_EQ(walk(overrun, &n), kNlFailed);
  // An error reply too short to hold its code.
  Datagram short_error;
  short_error.control(NLMSG_ERROR, -EBUSY, kSeq, kPort);
  short_error.truncate(short_error.size() - 4);
  const_cast<nlmsghdr *>(first(short_error))->nlmsg_len -= 4;
  EXPECT_EQ(walk(short_error, &n), kNlFailed);
  // The handler refusing a message fails the walk.
  Datagram d;
  put_bss(d, BssFields{});
  EXPECT_EQ(nl_walk_reply(
                d.bytes(), kSeq, kPort, [](const nlmsghdr *, void *) { return -1; }, nullptr),
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
