// SPDX-License-Identifier: MIT
// Test support: netlink datagrams built with libmnl, aligned as the kernel
// delivers them.
#pragma once

#include <libmnl/libmnl.h>
#include <linux/genetlink.h>
#include <linux/nl80211.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "backend/nl80211/netlink.h"

// A datagram of whole messages; data() is 4-byte aligned.
class Datagram {
 public:
  // Starts a generic netlink message of family type with cmd.
  nlmsghdr *begin(uint16_t type, uint8_t cmd, uint16_t flags = 0, uint32_t seq = 0,
                  uint32_t portid = 0) {
    const genlmsghdr genl{cmd, 1, 0};
    return start(type, flags, seq, portid, &genl, sizeof genl);
  }
  // A control message: NLMSG_DONE or NLMSG_ERROR with code.
  void control(uint16_t type, int32_t code, uint32_t seq = 0, uint32_t portid = 0) {
    nlmsgerr err{};
    err.error = code;
    if (type == NLMSG_ERROR)
      start(type, 0, seq, portid, &err, sizeof err);
    else
      start(type, 0, seq, portid, &code, sizeof code);
    end();
  }
  void end() { used_ += nlh_->nlmsg_len; }
  // Bytes of the raw datagram, for cutting and appending.
  nl_bytes bytes() const { return {reinterpret_cast<const uint8_t *>(words_.data()), used_}; }
  void truncate(size_t n) { used_ = n; }
  void append_raw(std::initializer_list<uint8_t> raw) {
    for (uint8_t b : raw) reinterpret_cast<uint8_t *>(words_.data())[used_++] = b;
  }
  size_t size() const { return used_; }

 private:
  nlmsghdr *start(uint16_t type, uint16_t flags, uint32_t seq, uint32_t portid, const void *extra,
                  size_t size) {
    nlh_ = mnl_nlmsg_put_header(tail());
    nlh_->nlmsg_type = type;
    nlh_->nlmsg_flags = flags;
    nlh_->nlmsg_seq = seq;
    nlh_->nlmsg_pid = portid;
    memcpy(mnl_nlmsg_put_extra_header(nlh_, size), extra, size);
    return nlh_;
  }
  void *tail() { return reinterpret_cast<uint8_t *>(words_.data()) + used_; }
  std::vector<uint32_t> words_ = std::vector<uint32_t>(16384);
  size_t used_ = 0;
  nlmsghdr *nlh_ = nullptr;
};

// Information elements.
inline std::vector<uint8_t> element(uint8_t id, const std::vector<uint8_t> &body) {
  std::vector<uint8_t> e;
  e.reserve(body.size() + 2);
  e.push_back(id);
  e.push_back(static_cast<uint8_t>(body.size()));
  for (uint8_t b : body) e.push_back(b);
  return e;
}
inline std::vector<uint8_t> ssid_element(const char *text) {
  return element(0, std::vector<uint8_t>(text, text + strlen(text)));
}
inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto &p : parts)
    for (uint8_t b : p) out.push_back(b);
  return out;
}
// An RSN element: CCMP, one AKM suite of type akm.
inline std::vector<uint8_t> rsn_element(uint8_t akm) {
  return element(48, {1,    0, 0x00, 0x0F, 0xAC, 4,    1,    0,   0x00, 0x0F,
                      0xAC, 4, 1,    0,    0x00, 0x0F, 0xAC, akm, 0,    0});
}

// What one BSS message carries; absent fields are left out.
struct BssFields {
  std::vector<uint8_t> bssid = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
  int64_t frequency = 2412;     // -1: absent
  int32_t capability = 0x0001;  // -1: absent
  int kind = 1;                 // 0 none, 1 mBm, 2 unspecified
  int32_t signal = -4500;
  int64_t status = -1;
  bool ies_present = true;
  std::vector<uint8_t> ies = ssid_element("lab");
  bool bss_present = true;
};

// Appends a NEW_SCAN_RESULTS message for bss to d.
inline void put_bss(Datagram &d, const BssFields &bss, uint16_t family = 0x1c,
                    uint16_t flags = NLM_F_MULTI, uint32_t seq = 7, uint32_t portid = 42) {
  nlmsghdr *nlh = d.begin(family, NL80211_CMD_NEW_SCAN_RESULTS, flags, seq, portid);
  mnl_attr_put_u32(nlh, NL80211_ATTR_GENERATION, 3);
  mnl_attr_put_u32(nlh, NL80211_ATTR_IFINDEX, 5);
  if (bss.bss_present) {
    nlattr *nest = mnl_attr_nest_start(nlh, NL80211_ATTR_BSS);
    if (!bss.bssid.empty())
      mnl_attr_put(nlh, NL80211_BSS_BSSID, bss.bssid.size(), bss.bssid.data());
    if (bss.frequency >= 0)
      mnl_attr_put_u32(nlh, NL80211_BSS_FREQUENCY, static_cast<uint32_t>(bss.frequency));
    mnl_attr_put_u64(nlh, NL80211_BSS_TSF, 123456);
    if (bss.capability >= 0)
      mnl_attr_put_u16(nlh, NL80211_BSS_CAPABILITY, static_cast<uint16_t>(bss.capability));
    if (bss.kind == 1)
      mnl_attr_put_u32(nlh, NL80211_BSS_SIGNAL_MBM, static_cast<uint32_t>(bss.signal));
    if (bss.kind == 2)
      mnl_attr_put_u8(nlh, NL80211_BSS_SIGNAL_UNSPEC, static_cast<uint8_t>(bss.signal));
    if (bss.status >= 0)
      mnl_attr_put_u32(nlh, NL80211_BSS_STATUS, static_cast<uint32_t>(bss.status));
    static const uint8_t kNone[1] = {0};
    if (bss.ies_present)
      mnl_attr_put(nlh, NL80211_BSS_INFORMATION_ELEMENTS, bss.ies.size(),
                   bss.ies.empty() ? kNone : bss.ies.data());
    mnl_attr_nest_end(nlh, nest);
  }
  d.end();
}

// The first message of a datagram.
inline const nlmsghdr *first(const Datagram &d) {
  return static_cast<const nlmsghdr *>(static_cast<const void *>(d.bytes().data()));
}

// The attributes in [at, end), and those nested in nest (none for null).
inline std::vector<nlattr *> attrs(void *at, void *end) {
  std::vector<nlattr *> out;
  for (auto *a = static_cast<nlattr *>(at);
       mnl_attr_ok(a, static_cast<int>(static_cast<char *>(end) - reinterpret_cast<char *>(a)));
       a = mnl_attr_next(a))
    out.push_back(a);
  return out;
}
inline std::vector<nlattr *> nested(nlattr *nest) {
  if (nest == nullptr) return {};
  void *payload = mnl_attr_get_payload(nest);
  return attrs(payload, static_cast<char *>(payload) + mnl_attr_get_payload_len(nest));
}
// The attribute at path inside a generic netlink message, or null.
inline nlattr *find(nlmsghdr *nlh, std::initializer_list<uint16_t> path) {
  std::vector<nlattr *> run =
      attrs(mnl_nlmsg_get_payload_offset(nlh, GENL_HDRLEN), mnl_nlmsg_get_payload_tail(nlh));
  nlattr *found = nullptr;
  for (uint16_t type : path) {
    const auto it = std::find_if(run.begin(), run.end(),
                                 [type](nlattr *a) { return mnl_attr_get_type(a) == type; });
    if (it == run.end()) return nullptr;
    run = nested(found = *it);
  }
  return found;
}
