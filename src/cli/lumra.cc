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

constexpr char kUsage[] =
    "Usage: lumra [-b BACKEND] [-i INTERFACE] [-f FILE] [-c] [-r] [-e] [-s] [-j] [-v]\n"
    "  -b, --backend NAME      backend: WE (Wireless Extensions) or NL80211;\n"
    "                          without it " LUMRA_DEFAULT_BACKEND
    ", or the other one where that cannot serve\n"
    "  -i, --interface IFACE   wireless interface (default eth1)\n"
    "  -f, --cache FILE        this run's cache file, in place of the built-in one\n"
    "  -c, --cached            cached run: the cache plus the associated network's live data\n"
    "  -r, --refresh           refresh run: scan afresh (the default; wins over -c)\n"
    "  -e, --encode            percent-encode ESSIDs in the printed line\n"
    "  -s, --suites            name every key-management suite (SAE, OWE, FT-PSK, ...)\n"
    "  -j, --json              print one JSON document in place of the line\n"
    "  -v, --verbose           one line on standard error: why a run failed, or what it did\n"
    "  -h, --help              this text\n"
    "  -V, --version           version and the backends built in\n";

// One option a line, which the formatter would pack into columns.
// clang-format off
const option kLongOptions[] = {
    {"backend", required_argument, nullptr, 'b'},
    {"cache", required_argument, nullptr, 'f'},  // this run's cache file
    {"cached", no_argument, nullptr, 'c'},
    {"encode", no_argument, nullptr, 'e'},
    {"help", no_argument, nullptr, 'h'},  // prints, then exits
    {"interface", required_argument, nullptr, 'i'},
    {"json", no_argument, nullptr, 'j'},
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

options parse_options(int argc, char **argv, char (&why)[320]) {
  options opts;
  // The first mistake; the options after it are still read for -j.
  const char *mistake = nullptr;
  // The consumer expects our one message, not getopt's own diagnostics.
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, "b:cef:hi:jrsvV", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
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
  const int rc = added == nullptr ? (*ctx)->ops->scan(*ctx, why)
                                  : (*ctx)->ops->current(*ctx, added, why);
  if (rc == 0) r.unserved[0] = '\0';
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
int refresh_run(run_state &r, backend_ctx **served, cache_file &cache) {
  const options &opts = r.opts;
  cause why;
  if (serve(r, served, nullptr, &why) != 0) {
    // The old list is not the present one either; without a cache the next
    // cached run scans afresh.
    cache.discard();
    // The line cannot tell a scan that heard nothing from a failure; the
    // document can: its list is empty.
    if (r.json != nullptr && (*served)->counts.empty > 0 && list_first() == nullptr)
      return print_networks(r);
    return failed(r, why, opts.ifname, "the scan failed");
  }
  // A newer cache committed by another run meanwhile stays; this run's
  // list is printed all the same.
  cause written;
  if (cache.commit(fill_cache, nullptr, &written) < 0)
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
void summarize(const run_state &r, const diag_counts &n, bool refresh, int64_t started_us) {
  const options &opts = r.opts;
  unsigned networks = 0;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) networks++;
  int64_t elapsed = monotonic_us() - started_us;
  // Cells with an oversized ESSID are named only when there were any (a
  // precision of 0 writes no digit for 0).
  const unsigned o = n.oversized;
  fprintf(stderr,
          "lumra: %s on %s, %s run: %u networks, %u passes (%u joined a running scan), "
          "%u fetches, %u buffer growths%s%.0u%s%s, %lld.%02lld s%s\n",
          r.served, opts.ifname, refresh ? "refresh" : "cached", networks, n.passes, n.joined,
          n.fetches, n.grows, o > 0 ? ", " : "", o, o > 0 ? " oversized ESSID" : "",
          o > 1 ? "s" : "", static_cast<long long>(elapsed / 1000000),
          static_cast<long long>(elapsed % 1000000 / 10000), r.rewrite_failure);
}

}  // namespace

int lumra_main(int argc, char **argv) {
  open_standard_descriptors();
  const int64_t started = monotonic_us();
  run_state r;
  r.opts = parse_options(argc, argv, r.why);
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

  json_run json{opts.ifname, r.served, true};
  r.json = opts.json ? &json : nullptr;

  bool refresh = opts.refresh || !opts.cached;
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
  if (refresh) {
    errno = 0;
    if (cache.prepare(&refused) != 0) no_cache_exit(r, refused, errno);
  }

  json.refresh = refresh;
  int result = -1;
  if (refresh) {
    result = refresh_run(r, &ctx, cache);
  } else {
    result = cached_run(r, &ctx, cache, fd);
  }
  if (r.opts.verbose && result == 0) summarize(r, ctx->counts, refresh, started);

  ctx->ops->destroy(ctx);
  // The line's consumer expects status 0 after the error line; a -j
  // consumer learns of a failure from the status as well.
  return r.json != nullptr && result != 0 ? 1 : 0;
}
