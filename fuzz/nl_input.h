// SPDX-License-Identifier: MIT
// The NL80211 fuzz inputs (see nl80211_bss_fuzz.cc): bytes walked as a dump
// reply's datagram, or as the attributes of one NEW_SCAN_RESULTS message.
#pragma once

#include <libmnl/libmnl.h>
#include <linux/genetlink.h>
#include <linux/nl80211.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backend/nl80211/netlink.h"

inline void nl_input_walk(bool datagram, const uint8_t *data, size_t size, nl_message_cb cb,
                          void *arg) {
  if (datagram) {
    // An exactly sized, aligned copy: any read past it is a heap overflow.
    void *buf = aligned_alloc(4, (size + 3) / 4 * 4);
    if (size) memcpy(buf, data, size);
    bool interrupted = false;
    nl_walk_reply({static_cast<const uint8_t *>(buf), size}, 7, 42, cb, arg, &interrupted);
    free(buf);
    return;
  }
  const size_t len = MNL_NLMSG_HDRLEN + GENL_HDRLEN + size;
  auto *buf = static_cast<uint8_t *>(aligned_alloc(4, (len + 3) / 4 * 4));
  nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = 0x1c;
  genlmsghdr genl{NL80211_CMD_NEW_SCAN_RESULTS, 1, 0};
  memcpy(mnl_nlmsg_put_extra_header(nlh, sizeof genl), &genl, sizeof genl);
  if (size) memcpy(buf + MNL_NLMSG_HDRLEN + GENL_HDRLEN, data, size);
  nlh->nlmsg_len = static_cast<uint32_t>(len);
  cb(nlh, arg);
  free(buf);
}
