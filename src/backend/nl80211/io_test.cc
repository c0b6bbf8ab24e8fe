// SPDX-License-Identifier: MIT
// The system transport over real local sockets: the kernel's generic netlink
// control family, which every kernel has, and the interface requests on lo.
// No radio is needed.
#include <errno.h>
#include <linux/genetlink.h>
#include <sys/ioctl.h>

#include <cstring>

#include "backend/nl80211/io.h"
#include "backend/nl80211/messages.h"
#include "gtest/gtest.h"

TEST(NlSystem, ServesRequestsEventsAndInterfaceRequests) {
  nl_session s(&kNlSystem);
  ASSERT_EQ(s.buffer.allocate(), 0);
  if (s.requests.open(&kNlSystem) != 0) {
    // qemu-user, which runs the cross builds' tests, has no generic netlink.
    if (errno == EPROTONOSUPPORT) GTEST_SKIP() << "no generic netlink here";
    FAIL() << "generic netlink socket: " << strerror(errno);
  }
  ASSERT_EQ(s.events.open(&kNlSystem), 0);
  EXPECT_NE(s.requests.portid(), s.events.portid());
  s.family = GENL_ID_CTRL;
  alignas(nlmsghdr) unsigned char buf[kRequestSize];
  nlmsghdr *nlh = nl_request_start(&s, buf, CTRL_CMD_GETFAMILY, 0);
  mnl_attr_put_strz(nlh, CTRL_ATTR_FAMILY_NAME, "nlctrl");
  nl_family family{};
  auto parse = [](const nlmsghdr *m, void *d) {
    return nl_parse_family(m, static_cast<nl_family *>(d));
  };
  EXPECT_EQ(nl_request_run(&s, nlh, parse, &family), 0);
  EXPECT_EQ(family.id, GENL_ID_CTRL);
  // nlctrl's "notify" group bears the family's number; nothing is pending.
  EXPECT_EQ(kNlSystem.join(s.events.fd(), GENL_ID_CTRL), 0);
  nl_drain_events(&s);
  EXPECT_EQ(kNlSystem.poll(s.events.fd(), 0), 0);
  // A datagram longer than the buffer is refused, not cut short.
  ASSERT_GT(kNlSystem.send(s.requests.fd(), nlh, nlh->nlmsg_len), 0);
  char tiny[4];
  EXPECT_EQ(kNlSystem.recv(s.requests.fd(), tiny, sizeof tiny), -1);
  EXPECT_EQ(errno, ENOSPC);

  const int fd = kNlSystem.inet_socket();
  ifreq ifr{};
  memcpy(ifr.ifr_name, "lo", 3);
  EXPECT_EQ(kNlSystem.ioctl(fd, SIOCGIFFLAGS, &ifr), 0);
  EXPECT_NE(ifr.ifr_flags & IFF_LOOPBACK, 0);
  EXPECT_EQ(kNlSystem.close(fd), 0);
  const int64_t start = kNlSystem.now_us();
  kNlSystem.pause(1);
  EXPECT_GE(kNlSystem.now_us(), start + 1000);
}
