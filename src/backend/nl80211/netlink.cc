// SPDX-License-Identifier: MIT
#include "backend/nl80211/netlink.h"

#include <errno.h>
#include <linux/genetlink.h>

#include <cstring>

namespace {

bool aligned(const void *p) { return reinterpret_cast<uintptr_t>(p) % NLMSG_ALIGNTO == 0; }

// The errno of a negative kernel error code; anything outside the kernel's
// range of codes is a protocol error.
int error_number(int32_t code) { return code < 0 && code > -4096 ? -code : EPROTO; }

// mnl_nlmsg_ok compares the length as a signed int, so a length of 2^31 or
// more passes it; such a message is refused first.
bool whole_message(const nlmsghdr *nlh, int len) {
  if (len < static_cast<int>(sizeof(nlmsghdr))) return false;
  if (nlh->nlmsg_len > static_cast<uint32_t>(len)) return false;
  return mnl_nlmsg_ok(nlh, len);
}

// Walks one datagram. reply: a reply to (seq, portid), with its end markers;
// otherwise events. Returns kNlMore when the datagram ended without an end
// marker.
nl_walk_result walk(nl_bytes datagram, bool reply, uint32_t seq, uint32_t portid, nl_message_cb cb,
                    void *data, bool *interrupted) {
  if (datagram.empty() || !aligned(datagram.data()) || datagram.size() > INT32_MAX) {
    errno = EPROTO;
    return kNlFailed;
  }
  int len = static_cast<int>(datagram.size());
  const auto *nlh = static_cast<const nlmsghdr *>(static_cast<const void *>(datagram.data()));
  for (; whole_message(nlh, len); nlh = mnl_nlmsg_next(nlh, &len)) {
    if (reply && (!mnl_nlmsg_seq_ok(nlh, seq) || !mnl_nlmsg_portid_ok(nlh, portid))) {
      errno = EPROTO;
      return kNlFailed;
    }
    if (!reply && (nlh->nlmsg_seq != 0 || nlh->nlmsg_pid != 0)) {
      errno = EPROTO;
      return kNlFailed;
    }
    if (interrupted != nullptr && (nlh->nlmsg_flags & NLM_F_DUMP_INTR) != 0) *interrupted = true;
    switch (nlh->nlmsg_type) {
      case NLMSG_NOOP:
        continue;
      case NLMSG_DONE: {
        if (!reply) break;
        // A dump that failed part-way says why in the end marker.
        if (mnl_nlmsg_get_payload_len(nlh) >= sizeof(int32_t)) {
          int32_t code;
          memcpy(&code, mnl_nlmsg_get_payload(nlh), sizeof code);
          if (code < 0) {
            errno = error_number(code);
            return kNlFailed;
          }
        }
        // Nothing may follow the end.
        mnl_nlmsg_next(nlh, &len);
        if (len > 0) {
          errno = EPROTO;
          return kNlFailed;
        }
        return kNlDone;
      }
      case NLMSG_ERROR: {
        if (!reply || mnl_nlmsg_get_payload_len(nlh) < sizeof(nlmsgerr)) break;
        nlmsgerr err;
        memcpy(&err, mnl_nlmsg_get_payload(nlh), sizeof err);
        if (err.error == 0) return kNlDone;
        errno = error_number(err.error);
        return kNlFailed;
      }
      default:
        if (nlh->nlmsg_type < NLMSG_MIN_TYPE) break;
        if (cb(nlh, data) != 0) {
          if (errno == 0) errno = EPROTO;
          return kNlFailed;
        }
        continue;
    }
    errno = EPROTO;
    return kNlFailed;
  }
  // Whatever is left is too short to be a message, or claims more than the
  // datagram holds; only the last message's alignment padding may be missing.
  if (len > 0 || len <= -static_cast<int>(NLMSG_ALIGNTO)) {
    errno = EPROTO;
    return kNlFailed;
  }
  return kNlMore;
}

}  // namespace

nl_walk_result nl_walk_reply(nl_bytes datagram, uint32_t seq, uint32_t portid, nl_message_cb cb,
                             void *data, bool *interrupted) {
  errno = 0;
  return walk(datagram, true, seq, portid, cb, data, interrupted);
}

int nl_walk_events(nl_bytes datagram, nl_message_cb cb, void *data) {
  errno = 0;
  return walk(datagram, false, 0, 0, cb, data, nullptr) == kNlFailed ? -1 : 0;
}

int nl_each_attr(const void *payload, size_t len, nl_attr_cb cb, void *data) {
  if (len == 0) return 0;
  if (payload == nullptr || !aligned(payload) || len > INT32_MAX) return -1;
  const char *start = static_cast<const char *>(payload);
  const char *end = start + len;
  const auto *attr = static_cast<const nlattr *>(payload);
  for (;;) {
    const char *at = static_cast<const char *>(static_cast<const void *>(attr));
    // Past the end by no more than the last attribute's alignment padding.
    if (at >= end) return at - end < MNL_ALIGNTO ? 0 : -1;
    if (!mnl_attr_ok(attr, static_cast<int>(end - at))) return -1;
    if (cb(attr, data) != 0) return -1;
    attr = mnl_attr_next(attr);
  }
}

int nl_each_genl_attr(const nlmsghdr *nlh, nl_attr_cb cb, void *data) {
  const size_t len = mnl_nlmsg_get_payload_len(nlh);
  if (len < GENL_HDRLEN) return -1;
  const char *payload = static_cast<const char *>(mnl_nlmsg_get_payload(nlh));
  return nl_each_attr(payload + GENL_HDRLEN, len - GENL_HDRLEN, cb, data);
}

int nl_each_nested(const nlattr *attr, nl_attr_cb cb, void *data) {
  if (mnl_attr_validate(attr, MNL_TYPE_NESTED) < 0) return -1;
  return nl_each_attr(mnl_attr_get_payload(attr), mnl_attr_get_payload_len(attr), cb, data);
}

int nl_genl_cmd(const nlmsghdr *nlh) {
  if (mnl_nlmsg_get_payload_len(nlh) < GENL_HDRLEN) return -1;
  genlmsghdr genl;
  memcpy(&genl, mnl_nlmsg_get_payload(nlh), sizeof genl);
  return genl.cmd;
}
