// SPDX-License-Identifier: MIT
// The JSON document of the network list. Small rather than fast: it is
// written once per run, through the stream's own buffer.
#include "netlist/json_writer.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

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

// A name, or null.
void put_name(FILE *f, const char *name) {
  if (name != nullptr)
    write_json_string(f, name, strlen(name));
  else
    fputs("null", f);
}

// The site survey's members after "associated", in order: | stands for
// ', "' and : for '": ' around each name. Each # writes the next number, !
// the next as true or false, ? opens an object where the next number's
// flag is given (else null, up to its "}"), $ writes the next name, % the
// next text ("" null) and * the names of the next text, each ended by a
// space, as an array.
constexpr char kSurveyMembers[] =
    "|signal_dbm:#|noise_dbm:#|frequency_mhz:#|band:$|width_mhz:#|center_mhz:#|standard:$"
    "|last_seen_ms:#|bss_load:?{\"stations:#|utilization_pct:#}|country:%|wps:!"
    "|encryption:?{\"akm:[*]|pairwise:[*]|group:$|pmf:$}|bitrate_kbps:#}";

void put_survey(FILE *f, const network_survey &s) {
  const char *const texts[] = {s.country, s.akm, s.pairwise};
  unsigned number = 0;
  unsigned name = 0;
  unsigned text = 0;
  bool shown = true;  // false inside an object that is not given
  for (const char *t = kSurveyMembers; *t != '\0'; ++t) {
    const char c = *t;
    if (c == '#' || c == '!' || c == '?') {
      const bool given = (s.given >> number & 1) != 0;
      const int64_t value = s.number[number++];
      if (!shown) continue;
      if (!given)
        fputs("null", f);
      else if (c == '#')
        fprintf(f, "%lld", static_cast<long long>(value));
      else if (c == '!')
        fputs(value != 0 ? "true" : "false", f);
      shown = c != '?' || given;
    } else if (c == '$' || c == '%' || c == '*') {
      const char *p = c == '$' ? s.name[name++] : texts[text++];
      if (!shown) continue;
      if (c != '*') {
        put_name(f, c == '%' && *p == '\0' ? nullptr : p);
        continue;
      }
      for (const char *end; (end = strchr(p, ' ')) != nullptr; p = end + 1) {
        if (p != texts[text - 1]) fputs(", ", f);
        write_json_string(f, p, static_cast<std::size_t>(end - p));
      }
    } else if (shown && (c == '|' || c == ':')) {
      fputs(c == '|' ? ", \"" : "\": ", f);
    } else if (shown) {
      putc(c, f);
    } else {
      shown = c == '}';
    }
  }
}

// The date and time of seconds since the epoch before the year 10000, UTC,
// as RFC 3339 writes them.
void put_time(FILE *f, long long seconds) {
  static constexpr uint8_t kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  auto days = static_cast<int>(seconds / 86400);
  const int secs = static_cast<int>(seconds % 86400);
  int year = 1970;
  int month = 0;
  for (;;) {
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    const int length = kMonthDays[month] + (month == 1 && leap);
    if (days < length) break;
    days -= length;
    if (++month == 12) month = 0, ++year;
  }
  fprintf(f, "\"%04d-%02d-%02dT%02d:%02d:%02dZ\"", year, month + 1, days + 1, secs / 3600,
          secs / 60 % 60, secs % 60);
}

void put_network(FILE *f, const network_entry &e) {
  const std::size_t n = e.essid_len < kMaxEssidBytes ? e.essid_len : kMaxEssidBytes;
  fputs("{\"essid\": ", f);
  write_json_string(f, e.essid, n);
  fputs(", \"essid_hex\": \"", f);
  for (const char ch : std::span(e.essid).first(n))
    fprintf(f, "%02x", static_cast<unsigned char>(ch));
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
  fprintf(f, ", \"associated\": %s", e.current != 0 ? "true" : "false");
  const network_survey none{};  // a network the run read nothing of
  put_survey(f, e.survey != nullptr ? *e.survey : none);
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
  fprintf(f, ", \"run\": \"%s\", \"schema\": 1, \"cached_at\": ", run.run);
  if (run.cached_at >= 0 && run.cached_at < 253402300800)  // 10000-01-01
    put_time(f, run.cached_at);
  else
    fputs("null", f);
  fprintf(f, ", \"live\": %s, \"warning\": ", run.warning == nullptr ? "true" : "false");
  put_name(f, run.warning);
  fputs(", \"networks\": [", f);
  const char *separator = "";
  for (const network_entry *e = list_first(); e != nullptr; e = list_next()) {
    fputs(separator, f);
    put_network(f, *e);
    separator = ", ";
  }
  fputs("]}\n", f);
}

void write_json_error(FILE *f, const char *message, const char *code) {
  fputs("{\"error\": ", f);
  write_json_string(f, message, strlen(message));
  fprintf(f, ", \"code\": \"%s\"}\n", code);
}
