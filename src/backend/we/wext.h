// Small helpers for Wireless Extensions requests.
#pragma once

#include <net/if.h>
#include <sys/ioctl.h>

#include <cstring>

#include <iwlib.h>

// A zeroed request naming the interface. The name is copied as the kernel
// reads it: 16 bytes, not terminated when it is that long.
inline iwreq we_request(const char *ifname) {
  iwreq wrq;
  memset(&wrq, 0, sizeof wrq);
  strncpy(wrq.ifr_name, ifname, IFNAMSIZ);
  return wrq;
}

inline ifreq we_ifreq(const char *ifname) {
  ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  strncpy(ifr.ifr_name, ifname, IFNAMSIZ);
  return ifr;
}
