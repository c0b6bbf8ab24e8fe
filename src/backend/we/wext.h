// SPDX-License-Identifier: MIT
// Small helpers for Wireless Extensions requests.
#pragma once

#include <errno.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include <iwlib.h>

#include "backend/we/we.h"

// A zeroed request naming the interface. The name is copied as the kernel
// reads it: 16 bytes, not terminated when it is that long.
// Copied here rather than by strncpy: the name is short, and the library
// call would cost more than the copy.
inline void we_copy_name(char (&dst)[IFNAMSIZ], const char *ifname) {
  for (std::size_t i = 0; i < IFNAMSIZ && ifname[i] != '\0'; ++i) dst[i] = ifname[i];
}

inline iwreq we_request(const char *ifname) {
  iwreq wrq;
  memset(&wrq, 0, sizeof wrq);
  we_copy_name(wrq.ifr_name, ifname);
  return wrq;
}

inline ifreq we_ifreq(const char *ifname) {
  ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  we_copy_name(ifr.ifr_name, ifname);
  return ifr;
}
