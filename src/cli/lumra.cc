// SPDX-License-Identifier: MIT
// The program's entry function: options, run mode, cache file and output.
#include "cli/lumra.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backend/backend.h"
#include "diag/clock.h"
#include "cli/cachefile.h"
#include "diag/diag.h"
#include "netlist/json_writer.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"

namespace {

constexpr char kDefaultBackend[] = LUMRA_DEFAULT_BACKEND;
// The other built-in backend, which serves without -b when the default cannot
// serve the interface; empty when only one is built.
constexpr char kFallbackBackend[] = LUMRA_FALLBACK_BACKEND;
constexpr char kDefaultInterface[] = "eth1";

// Tabs align the descriptions at column 24 in fewer bytes than spaces.
constexpr char kUsage[] =
    "Usage: lumra [OPTION]...\n"
    "  -b, --backend NAME\tWE or NL80211 (default " LUMRA_DEFAULT_BACKEND
    "; else the other)\n"
    "  -i, --interface IFACE\twireless interface (default eth1)\n"
    "  -f, --cache FILE\tcache file\n"
    "  -c, --cached\t\tthe cache, live association\n"
    "  -r, --refresh\t\trefresh run (default; wins over -c)\n"
    "  -l, --last\t\tthe kernel's results: no scan, no cache\n"
    "  -p, --passes N\t1-10 scan passes (5)\n"
    "      --band LIST\tscan bands 2.4,5,6 (no cache)\n"
    "      --freq LIST\tscan these MHz (no cache)\n"
    "      --passive\t\tno probe requests\n"
    "      --low-priority\tlow priority (NL80211)\n"
    "  -e, --encode\t\tpercent-encode ESSIDs\n"
    "  -s, --suites\t\tname every AKM suite\n"
    "  -j, --json\t\tJSON, not the line\n"
    "  -v, --verbose\t\twhy a run failed, or what it did\n"
    "  -h, --help\t\tthis text\n"
    "  -V, --version\t\tversion and backends\n";

// One option a line, which the formatter would pack into columns.
// clang-format off
const option kLongOptions[] = {
    {"backend", required_argument, nullptr, 'b'},
    {"band", required_argument, nullptr, 'k'},  // k to o: long options only
    {"cache", required_argument, nullptr, 'f'},  // this run's cache file
    {"cached", no_argument, nullptr, 'c'},
    {"encode", no_argument, nullptr, 'e'},
    {"freq", required_argument, nullptr, 'm'},
    {"help", no_argument, nullptr, 'h'},  // prints, then exits
    {"interface", required_argument, nullptr, 'i'},
    {"json", no_argument, nullptr, 'j'},
    {"last", no_argument, nullptr, 'l'},
    {"low-priority", no_argument, nullptr, 'o'},
    {"passes", required_argument, nullptr, 'p'},
    {"passive", no_argument, nullptr, 'n'},
    {"refresh", no_argument, nullptr, 'r'},
    {"suites", no_argument, nullptr, 's'},
    {"verbose", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},  // prints, then exits
    {nullptr, 0, nullptr, 0},
};
// clang-format on

struct options {
  const char *backend = kDefaultBackend;
  const char *ifname = kDefaultInterface;
  bool backend_given = false;  // -b: no other backend serves instead
  const char *cache = kCachePath;
  bool cached = false;
  bool encode = false;
  bool json = false;
  bool refresh = false;
  bool suites = false;
  bool verbose = false;
  scan_request scan;         // how a refresh scans
  const char *band = "all";  // as given, for -v
  const char *freq = "all";
};

// What a run keeps while it goes: passed down, never global.
struct run_state {
  options opts;
  // The backend that serves the run (-b's, the default, or the other one
  // when the default cannot serve), as -v and -j name it, and why the
  // default could not, when the other one took over.
  const char *served = nullptr;
  char unserved[256];
  // -j: the run's fields of the JSON document printed in place of the line;
  // null for the line.
  json_run *json = nullptr;
  // Why the run failed, as -v names it, and its code: the JSON document's
  // error and code.
  char why[320];
  const char *code = "scan-failed";
  // -v: why a cached run's rewrite was not made, for its summary.
  char rewrite_failure[300];
  // -j: why a cached run has no live data.
  char warning[256];
  // The texts start empty by their first bytes.
  run_state() { unserved[0] = why[0] = rewrite_failure[0] = warning[0] = '\0'; }
};

// A run that cannot start: its message on standard error, as ever, and with
// -j the document naming it too, so that a reader of standard output is told.
[[noreturn]] void start_failed(bool json, const char *message, const char *code) {
  fprintf(stderr, "%s\n", message);
  if (json) write_json_error(stdout, message, code);
  exit(1);
}

// The whole number that text begins with in digits (0 for none, a figure
// past 99999 left unread), its end at *end.
unsigned number_at(const char *text, const char **end) {
  unsigned v = 0;
  for (*end = text; **end >= '0' && **end <= '9' && v < 100000; ++*end)
    v = v * 10 + static_cast<unsigned>(**end - '0');
  return v;
}

// Adds a comma-separated list to the request: band names (2.4, 5, 6), or
// frequencies in MHz of those bands. false at the first bad item or one
// too many.
bool add_items(const char *list, bool bands, scan_request &req) {
  for (;; list++) {
    const char *end;
    unsigned v = number_at(list, &end);
    if (bands) {
      const bool ghz24 = v == 2 && end[0] == '.' && end[1] == '4';
      if (ghz24) end += 2;
      v = ghz24 ? 1 : v == 5 ? 2 : v == 6 ? 4 : 0;
      if (v == 0) return false;
      req.bands = static_cast<uint8_t>(req.bands | v);
    } else {
      if (band_of(v) == 0 || req.freq_count == kScanFreqRoom) return false;
      req.freqs[req.freq_count++] = static_cast<uint16_t>(v);
    }
    if (*end != ',') return *end == '\0';
    list = end;
  }
}

options parse_options(int argc, char **argv) {
  options opts;
  char why[320];
  // The first mistake; the options after it are still read for -j.
  const char *mistake = nullptr;
  // The consumer expects our one message, not getopt's own diagnostics.
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, "b:cef:hi:jlp:rsvV", kLongOptions, nullptr);
    if (c == -1) break;
    // A bad argument of the scan's options: the rule it breaks.
    const char *rule = nullptr;
    switch (c) {
      case 'k':
      case 'm':
        (c == 'k' ? opts.band : opts.freq) = optarg;
        if (!add_items(optarg, c == 'k', opts.scan))
          rule =
              c == 'k'
                  ? "--band takes 2.4, 5 or 6, comma-separated"
                  : "--freq takes up to 64 frequencies in MHz of 2.4, 5 and 6 GHz, comma-separated";
        break;
      case 'p': {
        const char *end;
        const unsigned n = number_at(optarg, &end);
        opts.scan.passes = static_cast<uint8_t>(n);
        if (*end != '\0' || n < 1 || n > 10) rule = "-p takes a number of passes from 1 to 10";
        break;
      }
      case 'n':
        opts.scan.passive = true;
        break;
      case 'o':
        opts.scan.low_priority = true;
        break;
      case 'l':
        opts.scan.last = true;
        break;
      case 'b':
        opts.backend = optarg;
        opts.backend_given = true;
        break;
      case 'f':
        opts.cache = optarg;
        break;
      case 'i':
        opts.ifname = optarg;
        break;
      case 'h':
        if (mistake != nullptr) break;
        fputs(kUsage, stdout);
        exit(0);
      case 'V':
        if (mistake != nullptr) break;
        fputs("lumra " LUMRA_VERSION "\nbackends: " LUMRA_BUILT_BACKENDS
              " (default " LUMRA_DEFAULT_BACKEND ")\n",
              stdout);
        exit(0);
      case '?':
        if (mistake == nullptr) mistake = "unknown option";
        break;
      default: {
        // The options that only switch something on.
        static constexpr char kSwitches[] = "cejrsv";
        bool *const switches[] = {&opts.cached,  &opts.encode, &opts.json,
                                  &opts.refresh, &opts.suites, &opts.verbose};
        const char *at = c != 0 ? strchr(kSwitches, c) : nullptr;
        if (at != nullptr) *switches[at - kSwitches] = true;
        break;
      }
    }
    if (mistake == nullptr) mistake = rule;
  }
  // The interface is not a bare argument, as it is for iwlist: a run on
  // the default interface in its place would mislead.
  if (mistake == nullptr && optind < argc) {
    snprintf(why, sizeof why, "unexpected argument \"%s\": the interface is given with -i",
             argv[optind]);
    mistake = why;
  }
  if (mistake != nullptr) start_failed(opts.json, mistake, "bad-option");
  return opts;
}

// With -v, why the run failed: the cause that the failing site recorded in
// c, else what failed. The cache reader records its cause without the path,
// which is then put before it.
void explain(run_state &r, const cause &c, const char *object, const char *what,
             bool cause_names_object = true) {
  const char *cause = c.code != nullptr ? c.text : nullptr;
  if (c.code != nullptr) r.code = c.code;
  // The other backend failed too: why the default did not serve, then its cause.
  // (Both are far shorter than why.)
  const int used =
      r.unserved[0] != '\0' ? snprintf(r.why, sizeof r.why, "%s; %s: ", r.unserved, r.served) : 0;
  const bool whole = cause != nullptr && cause_names_object;
  snprintf(r.why + used, sizeof r.why - used, "%s%s%s", whole ? "" : object, whole ? "" : ": ",
           cause != nullptr ? cause : what);
  if (r.opts.verbose) fprintf(stderr, "lumra: %s\n", r.why);
}

// The built-in backend other than name, or "" when there is none.
const char *other_backend(const char *name) {
  if (strcmp(name, kDefaultBackend) == 0) return kFallbackBackend;
  return strcmp(name, kFallbackBackend) == 0 ? kDefaultBackend : "";
}

// The operation on the backend that serves the interface. Without -b, when
// the default backend's probe finds that it cannot serve it, the other
// built-in backend runs it instead. The operation's cause goes to why.
int serve(run_state &r, backend_ctx **ctx, int *added, cause *why) {
  const options &opts = r.opts;
  const bool choose = !opts.backend_given && kFallbackBackend[0] != '\0';
  backend_ctx *other = nullptr;
  cause unserved;
  if (choose && (*ctx)->ops->probe(*ctx, &unserved) == 0)
    other = backend_open(kFallbackBackend, opts.ifname, why);
  if (other != nullptr) {
    other->all_suites = opts.suites;
    snprintf(r.unserved, sizeof r.unserved, "%s",
             unserved.code != nullptr ? unserved.text : kDefaultBackend);
    (*ctx)->ops->destroy(*ctx);
    *ctx = other;
    r.served = kFallbackBackend;
    if (r.json != nullptr) r.json->backend = kFallbackBackend;
  }
  (*ctx)->survey = r.json != nullptr;
  const int rc = added == nullptr ? (*ctx)->ops->scan(*ctx, opts.scan, why)
                                  : (*ctx)->ops->current(*ctx, added, why);
  if (rc == 0) r.unserved[0] = '\0';
  // A request the interface cannot carry is the caller's mistake.
  if (rc == kRefused) start_failed(r.json != nullptr, why->text, why->code);
  // A backend that cannot serve the interface: what is left to try.
  const char *untried = other != nullptr ? "" : other_backend(r.served);
  if (rc == kUnserved)
    cause_append(why, " (%s%s)", untried[0] != '\0' ? "try -b " : "no other backend to try",
                 untried);
  return rc;
}

// A failed run: explained, then the error line, or with -j the document
// naming the cause. -1.
int failed(run_state &r, const cause &c, const char *object, const char *what,
           bool cause_names_object = true) {
  explain(r, c, object, what, cause_names_object);
  if (r.json != nullptr)
    write_json_error(stdout, r.why, r.code);
  else
    fputs(kErrorLine, stdout);
  return -1;
}

// The cache form, as the commit step asks for it.
int fill_cache(FILE *stream, void * /*unused*/) { return write_records(stream, kCacheForm); }

// The cause recorded names the path refused or the lock file's step; else
// the system's reason alone.
[[noreturn]] void no_cache_exit(run_state &r, const cause &c, int error) {
  snprintf(r.why, sizeof r.why, "no cache file: %s",
           c.code != nullptr ? c.text
           : error != 0      ? strerror(error)
                             : "");
  start_failed(r.json != nullptr, r.why, c.code != nullptr ? c.code : "cache-io");
}

// A closed standard descriptor would be taken by the next file opened, so
// the output line could land in the cache or a socket: each is opened on
// /dev/null first.
void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    // fstat (which the cache reader needs too) tells a closed descriptor
    // by EBADF, as fcntl would.
    struct stat st;
    if (fstat(fd, &st) == 0 || errno != EBADF) continue;
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd != fd) exit(1);  // nothing can be reported safely
  }
}

// The output form on standard output; on failure the records already written
// stay and the error line follows them. 0, or -1 after the error line.
int print_networks(run_state &r) {
  int rc = 0;
  if (r.json != nullptr)
    write_json(stdout, *r.json);
  else
    rc = write_records(stdout, output_form(r.opts.encode));
  if (rc == 0 && fflush(stdout) == 0 && !ferror(stdout)) return 0;
  cause out;
  cause_set(&out, "output-failed", rc == 0 ? errno : 0, "standard output%s",
            rc == 0 ? "" : ": an ESSID longer than 32 bytes");
  clearerr(stdout);
  failed(r, out, "standard output", "write failed");
  fflush(stdout);
  return -1;
}

// 0 when the run printed its list, -1 when it printed the error line.
// cache: null when the run's list is not to replace it.
int refresh_run(run_state &r, backend_ctx **served, cache_file *cache) {
  const options &opts = r.opts;
  cause why;
  if (serve(r, served, nullptr, &why) != 0) {
    // The old list is not the present one either; without a cache the next
    // cached run scans afresh.
    if (cache != nullptr) cache->discard();
    // The line cannot tell a scan that heard nothing from a failure; the
    // document can: its list is empty.
    if (r.json != nullptr && (*served)->counts.empty > 0 && list_first() == nullptr)
      return print_networks(r);
    return failed(r, why, opts.ifname, "the scan failed");
  }
  // A newer cache committed by another run meanwhile stays; this run's
  // list is printed all the same.
  cause written;
  if (cache != nullptr && cache->commit(fill_cache, nullptr, &written) < 0)
    return failed(r, written, r.opts.cache, "the cache could not be written");
  return print_networks(r);
}

int cached_run(run_state &r, backend_ctx **served, cache_file &cache, int fd) {
  const options &opts = r.opts;
  // The cache file is replaced whole, never written in place: its time is
  // when its list was written.
  struct stat st;
  if (r.json != nullptr && fstat(fd, &st) == 0) r.json->cached_at = st.st_mtime;
  cause why;
  if (read_cache_fd(fd, &why) != 0)
    return failed(r, why, opts.cache, "malformed cache file", false);
  int added = 0;
  if (serve(r, served, &added, &why) != 0)
    return failed(r, why, opts.ifname, "the association could not be read");
  if (r.json != nullptr && (*served)->stale) {
    snprintf(r.warning, sizeof r.warning, "%s", why.text);
    r.json->warning = r.warning;
  }
  // The output does not depend on this rewrite; only the file is at stake.
  cause rewrite;
  if (added == 1 && cache.commit(fill_cache, nullptr, &rewrite) < 0 && rewrite.code != nullptr)
    snprintf(r.rewrite_failure, sizeof r.rewrite_failure, "; cache not rewritten: %s",
             rewrite.text);
  return print_networks(r);
}

// -v after a run that printed its list: what it did.
void summarize(const run_state &r, const diag_counts &n, const char *run, int64_t started_us) {
  const options &opts = r.opts;
  unsigned networks = 0;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) networks++;
  int64_t elapsed = monotonic_us() - started_us;
  // Cells with an oversized ESSID are named only when there were any (a
  // precision of 0 writes no digit for 0).
  const unsigned o = n.oversized;
  fprintf(stderr, "lumra: %s on %s, %s run", r.served, opts.ifname, run);
  // What a refresh was asked beyond its passes.
  if (run[0] == 'r')
    fprintf(stderr, " (band %s, freq %s%s%s)", opts.band, opts.freq,
            opts.scan.passive ? ", passive" : "", opts.scan.low_priority ? ", low priority" : "");
  fprintf(stderr,
          ": %u networks, %u passes (%u joined a running scan), %u fetches, %u buffer "
          "growths%s%.0u%s%s, %lld.%02lld s%s\n",
          networks, n.passes, n.joined, n.fetches, n.grows, o > 0 ? ", " : "", o,
          o > 0 ? " oversized ESSID" : "", o > 1 ? "s" : "",
          static_cast<long long>(elapsed / 1000000),
          static_cast<long long>(elapsed % 1000000 / 10000), r.rewrite_failure);
}

}  // namespace

int lumra_main(int argc, char **argv) {
  open_standard_descriptors();
  const int64_t started = monotonic_us();
  run_state r;
  r.opts = parse_options(argc, argv);
  const options &opts = r.opts;
  r.served = opts.backend;

  cause opened;
  backend_ctx *ctx = backend_open(opts.backend, opts.ifname, &opened);
  if (ctx == nullptr) {
    if (opened.code == nullptr)
      cause_set(&opened, "bad-option", 0, "%s: no such backend", opts.backend);
    // Two newlines (the text's own and the one the format adds): the consumer
    // reads this message with its blank line as it has always been written.
    fprintf(stderr, "%s\n", "Could not get backend\n");
    explain(r, opened, opts.backend, "no such backend");
    if (opts.json) write_json_error(stdout, r.why, r.code);
    exit(1);
  }
  ctx->all_suites = opts.suites;

  json_run json{opts.ifname, r.served, "refresh"};
  r.json = opts.json ? &json : nullptr;

  const bool last = opts.scan.last;
  bool refresh = last || opts.refresh || !opts.cached;
  // The kernel's list, or one limited to some channels, never replaces the
  // cache: such a run neither needs nor opens it.
  const bool writes = !last && opts.scan.bands == 0 && opts.scan.freq_count == 0;
  cache_file cache(opts.cache);
  int fd = -1;
  cause refused;
  if (!refresh) {
    // Every failure of open_read sets errno.
    switch (cache.open_read(&fd, &refused)) {
      case cache_open::ok:
        break;
      case cache_open::absent:
        refresh = true;
        break;  // scans, as a refresh
      case cache_open::failed:
        no_cache_exit(r, refused, errno);
    }
  }
  if (refresh && writes) {
    errno = 0;
    if (cache.prepare(&refused) != 0) no_cache_exit(r, refused, errno);
  }

  if (!refresh) json.run = "cached";
  if (last) json.run = "last";
  int result = -1;
  if (refresh) {
    result = refresh_run(r, &ctx, writes ? &cache : nullptr);
  } else {
    result = cached_run(r, &ctx, cache, fd);
  }
  if (r.opts.verbose && result == 0) summarize(r, ctx->counts, json.run, started);

  ctx->ops->destroy(ctx);
  // The line's consumer expects status 0 after the error line; a -j
  // consumer learns of a failure from the status as well.
  return r.json != nullptr && result != 0 ? 1 : 0;
}
