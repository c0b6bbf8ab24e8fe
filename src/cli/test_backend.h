// SPDX-License-Identifier: MIT
// A backend whose every answer a test scripts, for running the entry function
// in-process without a driver. Registered as "TEST" at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "netlist/netlist.h"

inline constexpr char kTestBackend[] = "TEST";

// Live data that current() writes into the entry with this address, as a real
// backend refreshes the associated network.
struct test_live {
  std::string bssid;
  std::string bitrate;
  uint8_t quality = 0;
  int32_t channel = 0;
};

struct test_script {
  // What the backend does.
  bool create_fails = false;
  int scan_result = 0;
  const char *scan_cause = nullptr;  // recorded by scan with scan_code
  const char *scan_code = nullptr;
  // kRefused as scan_result records this cause.
  const char *refused_cause = "wlan0 does not support 2484 MHz";
  int current_result = 0;
  int added = 0;                               // stored through current's flag
  std::vector<network_entry> scan_entries;     // appended by scan, in order
  std::vector<network_entry> current_entries;  // appended by current (its own scan)
  bool refresh_live = false;                   // current() applies `live`
  test_live live;

  // What was asked of it.
  int creates = 0;
  int destroys = 0;
  int scans = 0;
  scan_request asked;  // at the last scan
  int currents = 0;
  const char *ifname = nullptr;  // the instance's interface name at the last call
  int entries_at_current = -1;   // list length when current() was called
};

// The one script; a test assigns a fresh one before each run.
test_script &test_backend();
// Its operations, for a test that registers them under another name.
const backend_ops *test_backend_ops();

// An entry as a scan would produce it; `next` is ignored when appended.
network_entry test_entry(const std::string &essid, const char *bssid, const char *mode,
                         const std::vector<const char *> &security, int32_t channel,
                         uint8_t quality);
