// SPDX-License-Identifier: MIT
// What the document's reader cannot tell apart once parsed: which bytes went
// out escaped, and which entry carried a bit rate.
#include "netlist/json_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "netlist/netlist.h"

namespace {

template <typename F>
std::string written(F &&write) {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  write(f);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

// DEL and the C1 controls, which a parser takes raw, are escaped all the same.
TEST(JsonWriter, ControlsEscaped) {
  const struct {
    std::string bytes;
    std::string json;
  } cases[] = {
      {"a\x7f", "\"a\\u007f\""},
      {"\xc2\x85\xc2\x9f\xc2\xa0", "\"\\u0085\\u009f\xc2\xa0\""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(written([&](FILE *f) { write_json_string(f, c.bytes.data(), c.bytes.size()); }),
              c.json);
}

// A cached list may hold a rate for a network that is not the associated one
// (a cache file with rate pieces): only the associated network's is written.
TEST(JsonWriter, BitRateOfTheAssociatedNetworkOnly) {
  list_clear();
  for (const int current : {0, 1}) {
    network_entry *e = list_append_new();
    ASSERT_NE(e, nullptr);
    e->current = current;
    snprintf(e->bitrate, sizeof e->bitrate, "54 Mbit/s");
  }
  const std::string doc = written([](FILE *f) { write_json(f, {"wlan0", "WE", "cached"}); });
  list_clear();
  EXPECT_NE(doc.find("\"bitrate\": null, \"associated\": false}, {"), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"bitrate\": \"54 Mbit/s\", \"associated\": true}]"), std::string::npos);
}

}  // namespace
