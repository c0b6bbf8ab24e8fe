// SPDX-License-Identifier: MIT
// The scenario text of the preload library and its call log lines.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "fakewext.h"

namespace fakewext {

namespace {

struct Named {
  const char *name;
  unsigned long value;
};

const Named kRequests[] = {
    {"SIOCGIFFLAGS", SIOCGIFFLAGS}, {"SIOCSIFFLAGS", SIOCSIFFLAGS},
    {"SIOCGIWNAME", SIOCGIWNAME},   {"SIOCGIWNWID", SIOCGIWNWID},
    {"SIOCSIWFREQ", SIOCSIWFREQ},   {"SIOCGIWFREQ", SIOCGIWFREQ},
    {"SIOCSIWMODE", SIOCSIWMODE},   {"SIOCGIWMODE", SIOCGIWMODE},
    {"SIOCGIWSENS", SIOCGIWSENS},   {"SIOCGIWRANGE", SIOCGIWRANGE},
    {"SIOCGIWPRIV", SIOCGIWPRIV},   {"SIOCGIWSTATS", SIOCGIWSTATS},
    {"SIOCGIWAP", SIOCGIWAP},       {"SIOCSIWSCAN", SIOCSIWSCAN},
    {"SIOCGIWSCAN", SIOCGIWSCAN},   {"SIOCSIWESSID", SIOCSIWESSID},
    {"SIOCGIWESSID", SIOCGIWESSID}, {"SIOCGIWNICKN", SIOCGIWNICKN},
    {"SIOCGIWRATE", SIOCGIWRATE},   {"SIOCGIWRTS", SIOCGIWRTS},
    {"SIOCGIWFRAG", SIOCGIWFRAG},   {"SIOCGIWTXPOW", SIOCGIWTXPOW},
    {"SIOCGIWRETRY", SIOCGIWRETRY}, {"SIOCGIWENCODE", SIOCGIWENCODE},
    {"SIOCGIWPOWER", SIOCGIWPOWER}, {"SIOCGIWGENIE", SIOCGIWGENIE},
    {"SIOCGIWAUTH", SIOCGIWAUTH},   {"SIOCGIWENCODEEXT", SIOCGIWENCODEEXT},
    {"IWEVQUAL", IWEVQUAL},         {"IWEVCUSTOM", IWEVCUSTOM},
    {"IWEVGENIE", IWEVGENIE},       {"select", kSelect},
    {"fopen", kProcOpen},           {"poll", kPoll},
};

const Named kErrnos[] = {
    {"EPERM", EPERM},         {"EINTR", EINTR},       {"EIO", EIO},
    {"E2BIG", E2BIG},         {"EBADF", EBADF},       {"EAGAIN", EAGAIN},
    {"ENOMEM", ENOMEM},       {"EACCES", EACCES},     {"EFAULT", EFAULT},
    {"EBUSY", EBUSY},         {"ENODEV", ENODEV},     {"EINVAL", EINVAL},
    {"ENOENT", ENOENT},       {"ENETDOWN", ENETDOWN}, {"EOPNOTSUPP", EOPNOTSUPP},
    {"ETIMEDOUT", ETIMEDOUT}, {"ENOTTY", ENOTTY},
};

bool parse_long(std::string_view s, long *out) {
  if (s.empty() || s.size() > 30) return false;
  char buf[32];
  memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  // Decimal, or hexadecimal after 0x; a leading 0 does not mean octal.
  const char *digits = buf[0] == '-' ? buf + 1 : buf;
  int base = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') ? 16 : 10;
  char *end = nullptr;
  errno = 0;
  long v = strtol(buf, &end, base);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

bool parse_errno(std::string_view s, int *out) {
  for (const Named &n : kErrnos)
    if (s == n.name) {
      *out = static_cast<int>(n.value);
      return true;
    }
  long v = 0;
  if (!parse_long(s, &v) || v <= 0 || v > 4095) return false;
  *out = static_cast<int>(v);
  return true;
}

// Splits a line into words; "..." is one word with C escapes (\\ \" \n \t
// \xNN) decoded. Returns false on an unterminated or bad quote.
bool split(std::string_view line, std::vector<std::string> &words) {
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    std::string w;
    if (c == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d != '\\') {
          w += d;
          continue;
        }
        if (i >= line.size()) return false;
        char e = line[i++];
        if (e == 'n') {
          w += '\n';
        } else if (e == 't') {
          w += '\t';
        } else if (e == 'x') {
          Bytes b;
          if (i + 2 > line.size() || !parse_hex(line.substr(i, 2), b)) return false;
          w += static_cast<char>(b[0]);
          i += 2;
        } else {
          w += e;
        }
      }
      if (!closed) return false;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
        w += line[i++];
    }
    words.push_back(std::move(w));
  }
  return true;
}

struct Parser {
  explicit Parser(Driver &d) : driver(d) {}
  Driver &driver;
  Interface *iface = nullptr;
  bool in_cell = false;
  // fetch results with cell numbers, resolved once all cells are read
  struct Pick {
    Interface *iface;
    size_t step;
    std::vector<long> cells;
  };
  std::vector<Pick> picks;
  std::string why;

  bool fail(const std::string &msg) {
    why = msg;
    return false;
  }

  bool numbers(const std::vector<std::string> &w, size_t from, size_t n, long *out) {
    if (w.size() != from + n) {
      // Appended piecewise: g++ 12 for 32-bit ARM warns wrongly (-Wrestrict)
      // about "literal" + std::string.
      std::string msg = "expected ";
      msg += std::to_string(n);
      msg += " numbers";
      return fail(msg);
    }
    for (size_t i = 0; i < n; ++i)
      if (!parse_long(w[from + i], &out[i])) return fail("bad number '" + w[from + i] + "'");
    return true;
  }

  bool quality(const std::vector<std::string> &w, iw_quality *q) {
    long v[4];
    if (!numbers(w, 1, 4, v)) return false;
    q->qual = static_cast<uint8_t>(v[0]);
    q->level = static_cast<uint8_t>(v[1]);
    q->noise = static_cast<uint8_t>(v[2]);
    q->updated = static_cast<uint8_t>(v[3]);
    return true;
  }

  bool cell_line(const std::vector<std::string> &w) {
    const std::string &k = w[0];
    Cell &cell = iface->cells.back();
    long v[4];
    if (k == "channel" || k == "freq" || k == "mode") {
      if (!numbers(w, 1, 1, v)) return false;
      if (k == "channel")
        cell.push_back(ev::channel(static_cast<int>(v[0])));
      else if (k == "freq")
        cell.push_back(ev::freq_mhz(static_cast<int>(v[0])));
      else
        cell.push_back(ev::mode(static_cast<uint32_t>(v[0])));
    } else if (k == "freq-raw") {
      if (!numbers(w, 1, 2, v)) return false;
      cell.push_back(ev::freq_raw(static_cast<int32_t>(v[0]), static_cast<int16_t>(v[1])));
    } else if (k == "essid") {
      if (w.size() != 2 && w.size() != 3) return fail("essid \"text\" [flags]");
      long flags = 1;
      if (w.size() == 3 && !parse_long(w[2], &flags)) return fail("bad flags");
      cell.push_back(ev::essid(w[1], static_cast<uint16_t>(flags)));
    } else if (k == "encode") {
      if (w.size() != 2) return fail("encode on|off|<flags>");
      if (w[1] == "on") {
        cell.push_back(ev::encode_on());
      } else if (w[1] == "off") {
        cell.push_back(ev::encode_off());
      } else {
        if (!parse_long(w[1], v)) return fail("bad flags");
        cell.push_back(ev::encode(static_cast<uint16_t>(v[0])));
      }
    } else if (k == "qual") {
      iw_quality q{};
      if (!quality(w, &q)) return false;
      cell.push_back(ev::qual(q.qual, q.level, q.noise, q.updated));
    } else if (k == "ie") {
      Bytes b;
      if (w.size() < 2) return fail("ie <hex>");
      std::string hex;
      for (size_t i = 1; i < w.size(); ++i) hex += w[i];
      if (!parse_hex(hex, b)) return fail("bad hex");
      cell.push_back(ev::genie(b));
    } else if (k == "custom") {
      if (w.size() != 2) return fail("custom \"text\"");
      cell.push_back(ev::custom(w[1]));
    } else if (k == "rate") {
      std::vector<int32_t> r;
      for (size_t i = 1; i < w.size(); ++i) {
        if (!parse_long(w[i], v)) return fail("bad rate");
        r.push_back(static_cast<int32_t>(v[0]));
      }
      if (r.empty()) return fail("rate <bps>...");
      cell.push_back(ev::rates(r));
    } else if (k == "raw") {
      Bytes b;
      if (w.size() < 2 || !parse_long(w[1], v)) return fail("raw <cmd> <hex>");
      std::string hex;
      for (size_t i = 2; i < w.size(); ++i) hex += w[i];
      if (!parse_hex(hex, b)) return fail("bad hex");
      cell.push_back(ev::raw(static_cast<uint16_t>(v[0]), b));
    } else {
      return fail("unknown cell line '" + k + "'");
    }
    return true;
  }

  bool fetch_line(const std::vector<std::string> &w) {
    if (w.size() < 2) return fail("fetch <kind>");
    const std::string &k = w[1];
    long v = 0;
    int err = 0;
    if (k == "not-ready") {
      if (w.size() != 3 || !parse_long(w[2], &v) || v < 1) return fail("fetch not-ready <n>");
      iface->fetches.push_back(fetch::not_ready(static_cast<int>(v)));
    } else if (k == "too-big") {
      if (w.size() != 3 || !parse_long(w[2], &v) || v < 0 || v > 0xFFFF)
        return fail("fetch too-big <length>");
      iface->fetches.push_back(fetch::too_big(static_cast<uint16_t>(v)));
    } else if (k == "error") {
      if (w.size() != 3 || !parse_errno(w[2], &err)) return fail("fetch error <errno>");
      iface->fetches.push_back(fetch::error(err));
    } else if (k == "empty") {
      if (w.size() != 2) return fail("fetch empty");
      iface->fetches.push_back(fetch::empty());
    } else if (k == "results") {
      Pick pick{iface, iface->fetches.size(), {}};
      for (size_t i = 2; i < w.size(); ++i) {
        if (!parse_long(w[i], &v) || v < 1) return fail("fetch results [cell number...]");
        pick.cells.push_back(v);
      }
      iface->fetches.push_back(fetch::results());
      if (w.size() > 2) picks.push_back(std::move(pick));
    } else {
      return fail("unknown fetch '" + k + "'");
    }
    return true;
  }

  bool wait_line(const std::vector<std::string> &w) {
    WaitStep s;
    size_t next = 2;
    if (w.size() < 2) return fail("wait timeout|readable|error <errno> [elapsed-us]");
    if (w[1] == "readable") {
      s.kind = WaitStep::Kind::readable;
    } else if (w[1] == "error") {
      s.kind = WaitStep::Kind::error;
      if (w.size() < 3 || !parse_errno(w[2], &s.error)) return fail("wait error <errno>");
      next = 3;
    } else if (w[1] != "timeout") {
      return fail("unknown wait '" + w[1] + "'");
    }
    if (w.size() > next + 1) return fail("too many words");
    long elapsed = 0;
    if (w.size() == next + 1) {
      if (!parse_long(w[next], &elapsed)) return fail("bad elapsed");
      s.elapsed_us = elapsed;
    }
    driver.wait_script().push_back(s);
    return true;
  }

  bool iface_line(const std::vector<std::string> &w) {
    const std::string &k = w[0];
    Interface &i = *iface;
    long v[4];
    if (k == "down") {
      i.flags = static_cast<short>(i.flags & ~IFF_UP);
    } else if (k == "no-wireless") {
      i.wireless = false;
      if (w.size() == 2 && !parse_errno(w[1], &i.wireless_error)) return fail("bad errno");
    } else if (k == "no-stats") {
      i.stats = false;
    } else if (k == "no-e2big-hint") {
      i.e2big_hint = false;
    } else if (k == "protocol") {
      if (w.size() != 2) return fail("protocol \"text\"");
      i.protocol = w[1];
    } else if (k == "we-version") {
      if (!numbers(w, 1, 1, v)) return false;
      i.we_version = static_cast<uint8_t>(v[0]);
    } else if (k == "max-qual") {
      return quality(w, &i.max_qual);
    } else if (k == "link") {
      return quality(w, &i.link);
    } else if (k == "channels") {
      i.channels_mhz.clear();
      for (size_t n = 1; n < w.size(); ++n) {
        if (!parse_long(w[n], v)) return fail("bad frequency");
        i.channels_mhz.push_back(static_cast<int>(v[0]));
      }
    } else if (k == "ap") {
      if (w.size() != 2 || !parse_mac(w[1], i.ap)) return fail("ap <address>");
    } else if (k == "rate") {
      if (!numbers(w, 1, 1, v)) return false;
      i.bitrate = static_cast<int32_t>(v[0]);
    } else if (k == "essid") {
      if (w.size() != 2) return fail("essid \"text\"");
      i.essid = w[1];
    } else if (k == "freq") {
      if (!numbers(w, 1, 1, v)) return false;
      i.freq = freq_of_mhz(static_cast<int>(v[0]));
    } else if (k == "freq-raw") {
      if (!numbers(w, 1, 2, v)) return false;
      i.freq = iw_freq{};
      i.freq.m = static_cast<int32_t>(v[0]);
      i.freq.e = static_cast<int16_t>(v[1]);
    } else if (k == "mode") {
      if (!numbers(w, 1, 1, v)) return false;
      i.mode = static_cast<uint32_t>(v[0]);
    } else if (k == "encode") {
      if (!numbers(w, 1, 1, v)) return false;
      i.encode_flags = static_cast<uint16_t>(v[0]);
    } else if (k == "fail") {
      Failure f;
      if (w.size() < 2 || w.size() > 4 || (f.request = request_code(w[1])) == 0)
        return fail("fail <request> [nth|every] [errno]");
      if (w.size() >= 3 && w[2] != "every") {
        long nth = 0;
        if (!parse_long(w[2], &nth) || nth < 1) return fail("bad nth");
        f.nth = static_cast<int>(nth);
      }
      if (w.size() == 4 && !parse_errno(w[3], &f.error)) return fail("bad errno");
      i.failures.push_back(f);
    } else if (k == "fetch") {
      return fetch_line(w);
    } else {
      return fail("unknown line '" + k + "'");
    }
    return true;
  }

  bool line(const std::vector<std::string> &w) {
    const std::string &k = w[0];
    if (k == "interface") {
      if (w.size() != 2 || w[1].empty() || w[1].size() >= IFNAMSIZ) return fail("interface <name>");
      Interface fresh;
      fresh.name = w[1];
      iface = &driver.add(std::move(fresh));
      in_cell = false;
      return true;
    }
    if (k == "wait") return wait_line(w);
    if (k == "proc-error") {
      if (w.size() != 2 || !parse_errno(w[1], &driver.proc_error))
        return fail("proc-error <errno>");
      return true;
    }
    if (iface == nullptr) return fail("'" + k + "' before any interface line");
    if (k == "cell") {
      uint8_t mac[6];
      if (w.size() != 2 || !parse_mac(w[1], mac)) return fail("cell <address>");
      iface->cells.push_back({ev::ap(mac)});
      in_cell = true;
      return true;
    }
    if (in_cell) return cell_line(w);
    return iface_line(w);
  }

  bool resolve() {
    for (const Pick &p : picks) {
      std::vector<Cell> cells;
      for (long n : p.cells) {
        if (static_cast<size_t>(n) > p.iface->cells.size())
          return fail("fetch results names cell " + std::to_string(n) + " of " +
                      std::to_string(p.iface->cells.size()));
        cells.push_back(p.iface->cells[static_cast<size_t>(n) - 1]);
      }
      p.iface->fetches[p.step].cells = std::move(cells);
    }
    return true;
  }
};

}  // namespace

bool load_scenario(Driver &driver, std::string_view text, std::string *error) {
  Parser p(driver);
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    std::vector<std::string> words;
    if (!split(line, words)) {
      if (error) *error = "line " + std::to_string(number) + ": bad quoted text";
      return false;
    }
    if (words.empty()) continue;
    if (!p.line(words)) {
      if (error) *error = "line " + std::to_string(number) + ": " + p.why;
      return false;
    }
  }
  if (!p.resolve()) {
    if (error) *error = p.why;
    return false;
  }
  return true;
}

std::string request_name(unsigned long request) {
  for (const Named &n : kRequests)
    if (n.value == request) return n.name;
  char buf[24];
  snprintf(buf, sizeof buf, "0x%lx", request);
  return buf;
}

unsigned long request_code(std::string_view name) {
  for (const Named &n : kRequests)
    if (name == n.name) return n.value;
  long v = 0;
  if (name.size() > 2 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X') &&
      parse_long(name, &v) && v > 0)
    return static_cast<unsigned long>(v);
  return 0;
}

std::string format_call(const Call &c) {
  char buf[160];
  std::string out;
  if (c.request == kSelect) {
    long us = c.has_timeout ? c.timeout.tv_sec * 1000000L + c.timeout.tv_usec : -1;
    snprintf(buf, sizeof buf, "at=%" PRId64 " select nfds=%d timeout=%ld result=%d errno=%d\n",
             c.at_us, c.nfds, us, c.result, c.error);
    return buf;
  }
  if (c.request == kPoll) {
    long ms = c.has_timeout ? c.timeout.tv_sec * 1000L + c.timeout.tv_usec / 1000 : -1;
    snprintf(buf, sizeof buf,
             "at=%" PRId64 " poll nfds=%d fd=%d timeout_ms=%ld result=%d errno=%d\n", c.at_us,
             c.nfds, c.fd, ms, c.result, c.error);
    return buf;
  }
  if (c.request == kProcOpen) {
    snprintf(buf, sizeof buf, "at=%" PRId64 " fopen /proc/net/wireless result=%d errno=%d\n",
             c.at_us, c.result, c.error);
    return buf;
  }
  snprintf(buf, sizeof buf,
           "at=%" PRId64 " ioctl %s %s result=%d errno=%d length=%u flags=0x%04x returned=%u",
           c.at_us, request_name(c.request).c_str(), c.ifname.c_str(), c.result, c.error, c.length,
           c.flags, c.returned_length);
  out = buf;
  if (!c.payload.empty()) {
    out += " payload=";
    for (uint8_t b : c.payload) {
      snprintf(buf, sizeof buf, "%02x", b);
      out += buf;
    }
  }
  out += '\n';
  return out;
}

}  // namespace fakewext
