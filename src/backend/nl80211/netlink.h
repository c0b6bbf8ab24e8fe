// SPDX-License-Identifier: MIT
// Checked walks over received netlink datagrams and attribute runs. Every
// length is validated through libmnl before a header or attribute is read;
// bytes that do not make up whole messages or attributes fail the walk.
#pragma once

#include <libmnl/libmnl.h>
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <span>

using nl_bytes = std::span<const uint8_t>;

// What a reply walk over one datagram found.
enum nl_walk_result : int {
  kNlFailed = -1,  // malformed, unexpected, or an error reply (errno says which)
  kNlDone = 0,     // the reply is complete (end of dump, or the acknowledgement)
  kNlMore = 1,     // a dump goes on in the next datagram
};

// Called for each data message (type at or above NLMSG_MIN_TYPE); 0 to go on,
// -1 to fail the walk.
using nl_message_cb = int (*)(const nlmsghdr *nlh, void *data);

// Walks the messages of one datagram of a reply to request seq from the
// kernel (port 0) to portid. NLMSG_DONE ends the reply; an NLMSG_ERROR with
// code 0 (an acknowledgement) ends it too; one with an error code, and an end
// marker that carries one (a dump that failed part-way), fail with errno set
// to that code. A message from another port or sequence, a control message
// out of place, and trailing bytes fail with EPROTO. The datagram must be
// 4-byte aligned. A message flagged NLM_F_DUMP_INTR (the kernel's list
// changed while it was dumped) sets *interrupted when that is given.
nl_walk_result nl_walk_reply(nl_bytes datagram, uint32_t seq, uint32_t portid, nl_message_cb cb,
                             void *data, bool *interrupted = nullptr);

// Walks the messages of one datagram of multicast events (sequence and port
// 0); same validation, no end marker.
int nl_walk_events(nl_bytes datagram, nl_message_cb cb, void *data);

// Called for each attribute of a run; 0 to go on, -1 to fail.
using nl_attr_cb = int (*)(const nlattr *attr, void *data);

// Calls cb for every attribute in payload; -1 when the run does not consist
// of whole attributes (libmnl's mnl_attr_ok) or cb fails.
int nl_each_attr(const void *payload, size_t len, nl_attr_cb cb, void *data);
// The attributes of a generic netlink message after its family header; -1
// for a message too short to hold that header.
int nl_each_genl_attr(const nlmsghdr *nlh, nl_attr_cb cb, void *data);
// The attributes nested in attr (validated as MNL_TYPE_NESTED first).
int nl_each_nested(const nlattr *attr, nl_attr_cb cb, void *data);
// The generic netlink command of a message, or -1 when it has no family header.
int nl_genl_cmd(const nlmsghdr *nlh);
