// SPDX-License-Identifier: MIT
// Feeds arbitrary element buffers to parse_security_ies from any slot state
// and checks what the entry may look like afterwards.
//
// Input: byte 0 chooses the state (bits 0-2: slots in use, taken modulo 7;
// bit 3: fill all six slots with the next 72 bytes, unterminated garbage
// included; bit 4: every key-management suite named, as with -s); the rest
// is the element buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backend/ieee80211/ieee80211.h"
#include "netlist/netlist.h"
#include "netlist/netlist.h"

namespace {

void require(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t state = data[0];
  ++data;
  --size;

  network_entry entry;
  memset(&entry, 0, sizeof entry);
  const int start = (state & 7) % 7;
  entry.security_count = start;
  if ((state & 8) && size >= sizeof entry.security) {
    memcpy(entry.security, data, sizeof entry.security);
    data += sizeof entry.security;
    size -= sizeof entry.security;
  }
  network_entry before;
  memcpy(&before, &entry, sizeof before);

  // An exactly sized copy: any read past the buffer is a heap overflow.
  unsigned char *buf = static_cast<unsigned char *>(malloc(size ? size : 1));
  if (size) memcpy(buf, data, size);
  const int result = parse_security_ies(&entry, buf, static_cast<int>(size), (state & 16) != 0);
  free(buf);

  require(result == 0);
  require(entry.security_count >= start && entry.security_count <= 6);
  // Slots in use before stay as they were.
  require(memcmp(before.security, entry.security, sizeof entry.security[0] * start) == 0);
  bool saw_wps = false;
  for (int i = start; i < entry.security_count; ++i) {
    const char *slot = entry.security[i];
    const size_t len = strnlen(slot, sizeof entry.security[i]);
    require(len > 0 && len < sizeof entry.security[i]);
    require(strpbrk(slot, "/,") == nullptr);
    if (strncmp(slot, "WPS", 3) == 0)
      saw_wps = true;
    else
      require(strcmp(slot, "unknown") == 0 || strncmp(slot, "WPA-", 4) == 0 ||
              strncmp(slot, "WPA2-", 5) == 0);
  }
  require(entry.wps == (saw_wps ? 1u : 0u));
  // Nothing but the slots, the count and the flag may change.
  require(memcmp(before.essid, entry.essid, sizeof entry.essid) == 0);
  require(entry.privacy == 0 && entry.quality == 0 && entry.next == nullptr);
  return 0;
}
