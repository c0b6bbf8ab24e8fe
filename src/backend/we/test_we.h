// SPDX-License-Identifier: MIT
// Helpers shared by the Wireless Extensions backend's tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <vector>

#include "backend/we/we.h"
#include "fakewext.h"
#include "netlist/netlist.h"

namespace we_test {

inline std::vector<network_entry *> listed() {
  std::vector<network_entry *> out;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) out.push_back(e);
  return out;
}

// Calls f with no descriptor left to open, so that no socket can be had.
template <class F>
int without_descriptors(F f) {
  rlimit saved;
  EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  int r = f();
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  return r;
}

// The payload of a directed scan request, as the driver should receive it.
inline fakewext::Bytes directed_request(const char *essid, uint8_t len, const iw_freq &freq) {
  iw_scan_req req;
  memset(&req, 0, sizeof req);
  req.essid_len = len;
  memcpy(req.essid, essid, len);
  req.num_channels = 1;
  req.channel_list[0] = freq;
  fakewext::Bytes out(sizeof req);
  memcpy(out.data(), &req, sizeof req);
  return out;
}

// A scan result decoded and merged into the list as a plain pass's is.
inline int decode(char *buffer, int length, const iw_range &range, diag_counts *counts = nullptr) {
  cell_batch batch;
  diag_counts ignored{};
  const int result = we_decode_scan(buffer, length, &range, &batch);
  if (merge_batch(batch, {"", "", false}, counts != nullptr ? counts : &ignored) != 0) return -1;
  if (result == 0) apply_wep_rule();
  return result;
}

}  // namespace we_test
