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

// A zeroed request naming the interface (backend_open allows no name of
// IFNAMSIZ bytes or more).
inline iwreq we_request(const char *ifname) {
  iwreq wrq;
  memset(&wrq, 0, sizeof wrq);
  memcpy(wrq.ifr_name, ifname, strnlen(ifname, IFNAMSIZ - 1));
  return wrq;
}
