// SPDX-License-Identifier: MIT
// The JSON document of the network list. Small rather than fast: it is
// written once per run, through the stream's own buffer.
#include "netlist/json_writer.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>

#include "netlist/hexdigit.h"
#include "netlist/netlist.h"
#include "netlist/record_text.h"

namespace {

using namespace record_text;

unsigned char byte_at(std::span<const char> s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

// The length of the valid UTF-8 sequence at the start of s (not empty), or
// 0: no overlong form, no surrogate, nothing above U+10FFFF.
std::size_t utf8_length(std::span<const char> s) {
  const unsigned char c = byte_at(s, 0);
  if (c < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xbf;
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (s.size() < len || byte_at(s, 1) < lo || byte_at(s, 1) > hi) return 0;
  for (std::size_t i = 2; i < len; ++i)
    if ((byte_at(s, i) & 0xc0) != 0x80) return 0;
  return len;
}

// A fixed text field up to its NUL, never past the field.
template <std::size_t N>
void put_field(FILE *f, const char (&field)[N]) {
  write_json_string(f, field, strnlen(field, N - 1));
}

void put_network(FILE *f, const network_entry &e) {
  const std::size_t n = e.essid_len < kMaxEssidBytes ? e.essid_len : kMaxEssidBytes;
  fputs("{\"essid\": ", f);
  write_json_string(f, e.essid, n);
  fputs(", \"essid_hex\": \"", f);
  for (const char ch : std::span(e.essid).first(n)) {
    const auto c = static_cast<unsigned char>(ch);
    putc(hexdigit::kLowerDigits[c >> 4], f);
    putc(hexdigit::kLowerDigits[c & 0xf], f);
  }
  fputs("\", \"address\": ", f);
  put_field(f, e.bssid);
  fputs(", \"mode\": ", f);
  put_field(f, e.mode);
  fputs(", \"security\": [", f);
  const int count = e.security_count < kSecuritySlots ? e.security_count : kSecuritySlots;
  for (int i = 0; i < count; ++i) {
    if (i > 0) fputs(", ", f);
    put_field(f, e.security[i]);
  }
  fprintf(f, "], \"channel\": %d, \"quality\": %u, \"bitrate\": ", e.channel, e.quality);
  if (e.current != 0 && e.bitrate[0] != '\0')
    put_field(f, e.bitrate);
  else
    fputs("null", f);
  fprintf(f, ", \"associated\": %s}", e.current != 0 ? "true" : "false");
}

}  // namespace

void write_json_string(FILE *f, const char *bytes, std::size_t n) {
  const std::span<const char> s(bytes, n);
  // The controls with a short escape, each after its letter.
  static constexpr char kShort[] = "b\bf\fn\nr\rt\t";
  putc('"', f);
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = byte_at(s, i);
    const std::size_t len = utf8_length(s.subspan(i));
    if (len == 0) {
      fputs("\xef\xbf\xbd", f);  // U+FFFD for a byte of no valid sequence
      i++;
      continue;
    }
    // C0 controls, DEL and the C1 controls (U+0080 to U+009F).
    unsigned code = c;
    if (len == 2 && c == 0xc2) code = byte_at(s, i + 1);
    if (code < 0x20 || (code >= 0x7f && code < 0xa0)) {
      const char *short_escape = code != 0 ? strchr(kShort, static_cast<int>(code)) : nullptr;
      if (short_escape != nullptr)
        fprintf(f, "\\%c", short_escape[-1]);
      else
        fprintf(f, "\\u%04x", code);
    } else {
      if (c == '"' || c == '\\') putc('\\', f);
      fwrite(bytes + i, 1, len, f);
    }
    i += len;
  }
  putc('"', f);
}

void write_json(FILE *f, const json_run &run) {
  fputs("{\"interface\": ", f);
  write_json_string(f, run.interface, strlen(run.interface));
  fputs(", \"backend\": ", f);
  write_json_string(f, run.backend, strlen(run.backend));
  fprintf(f, ", \"run\": \"%s\", \"networks\": [", run.run);
  const char *separator = "";
  for (const network_entry *e = list_first(); e != nullptr; e = list_next()) {
    fputs(separator, f);
    put_network(f, *e);
    separator = ", ";
  }
  fputs("]}\n", f);
}

void write_json_error(FILE *f, const char *message) {
  fputs("{\"error\": ", f);
  write_json_string(f, message, strlen(message));
  fputs("}\n", f);
}
