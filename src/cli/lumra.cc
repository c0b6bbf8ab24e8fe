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
#include "backend/clock.h"
#include "cli/cachefile.h"
#include "diag/diag.h"
#include "netlist/linefmt.h"
#include "netlist/netlist.h"

namespace {

constexpr char kDefaultBackend[] = LUMRA_DEFAULT_BACKEND;
constexpr char kDefaultInterface[] = "eth1";

const option kLongOptions[] = {
    {"backend", required_argument, nullptr, 'b'},
    {"cache", required_argument, nullptr, 'f'},  // this run's cache file
    {"cached", no_argument, nullptr, 'c'},
    {"encode", no_argument, nullptr, 'e'},
    {"interface", required_argument, nullptr, 'i'},
    {"refresh", no_argument, nullptr, 'r'},
    {"verbose", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

struct options {
  const char *backend = kDefaultBackend;
  const char *ifname = kDefaultInterface;
  const char *cache = kCachePath;
  bool cached = false;
  bool encode = false;
  bool refresh = false;
  bool verbose = false;
};

// -v: why a run failed, or what it did, as one line on standard error.
bool g_verbose = false;
// The cache file of this run (-f), named by every message about it.
const char *g_cache_path = kCachePath;
// -v: why a cached run's rewrite was not made, for its summary.
char g_rewrite_failure[300];

[[noreturn]] void fail_exit(const char *message) {
  fprintf(stderr, "%s\n", message);
  exit(1);
}

options parse_options(int argc, char **argv) {
  options opts;
  // The consumer expects our one message, not getopt's own diagnostics.
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, "b:cef:i:rv", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'b':
        opts.backend = optarg;
        break;
      case 'c':
        opts.cached = true;
        break;
      case 'e':
        opts.encode = true;
        break;
      case 'f':
        opts.cache = optarg;
        break;
      case 'i':
        opts.ifname = optarg;
        break;
      case 'r':
        opts.refresh = true;
        break;
      case 'v':
        opts.verbose = true;
        break;
      case '?':
        fail_exit("unknown option");
      default:
        break;
    }
  }
  return opts;
}

// With -v, why the run failed: the cause that the failing site recorded,
// else what failed. The cache reader records its cause without the path,
// which is then put before it.
void explain(const char *object, const char *what, bool cause_names_object = true) {
  if (!g_verbose) return;
  const char *cause = diag_failure();
  if (cause != nullptr && cause_names_object)
    fprintf(stderr, "lumra: %s\n", cause);
  else
    fprintf(stderr, "lumra: %s: %s\n", object, cause != nullptr ? cause : what);
}

void explain_cache(const char *what) { explain(g_cache_path, what, false); }

void print_error_line() { fputs(kErrorLine, stdout); }

// The cache form, as the commit step asks for it.
int fill_cache(FILE *stream, void * /*unused*/) { return write_records(stream, kCacheForm); }

[[noreturn]] void no_cache_exit(int error) {
  fprintf(stderr, "no cache file: %s\n", error != 0 ? strerror(error) : "");
  exit(1);
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
int print_networks(bool encode) {
  // The run got this far: whatever failed before did not fail it.
  diag_forget();
  int rc = write_records(stdout, output_form(encode));
  if (rc == 0 && fflush(stdout) == 0 && !ferror(stdout)) return 0;
  if (rc == 0)
    diag_fail(errno, "standard output");
  else
    diag_fail(0, "standard output: an ESSID longer than 32 bytes");
  explain("standard output", "write failed");
  clearerr(stdout);
  print_error_line();
  fflush(stdout);
  return -1;
}

// 0 when the run printed its list, -1 when it printed the error line.
int refresh_run(backend_ctx *ctx, cache_file &cache, bool encode) {
  if (ctx->ops->scan(ctx) != 0) {
    explain(ctx->ifname, "the scan failed");
    // The old list is not the present one either; without a cache the next
    // cached run scans afresh.
    cache.discard();
    print_error_line();
    return -1;
  }
  // A newer cache committed by another run meanwhile stays; this run's
  // list is printed all the same.
  diag_forget();  // the commit's own cause is the one to tell
  if (cache.commit(fill_cache, nullptr) < 0) {
    explain(g_cache_path, "the cache could not be written");
    print_error_line();
    return -1;
  }
  return print_networks(encode);
}

int cached_run(backend_ctx *ctx, cache_file &cache, int fd, bool encode) {
  if (read_cache_fd(fd) != 0) {
    explain_cache("malformed cache file");
    print_error_line();
    return -1;
  }
  int added = 0;
  if (ctx->ops->current(ctx, &added) != 0) {
    explain(ctx->ifname, "the association could not be read");
    print_error_line();
    return -1;
  }
  // The output does not depend on this rewrite; only the file is at stake.
  diag_forget();
  if (added == 1 && cache.commit(fill_cache, nullptr) < 0 && diag_failure() != nullptr)
    snprintf(g_rewrite_failure, sizeof g_rewrite_failure, "; cache not rewritten: %s",
             diag_failure());
  return print_networks(encode);
}

// -v after a run that printed its list: what it did.
void summarize(const options &opts, bool refresh, int64_t started_us) {
  unsigned networks = 0;
  for (network_entry *e = list_first(); e != nullptr; e = list_next()) networks++;
  const diag_counts &n = diag_count();
  int64_t elapsed = monotonic_us() - started_us;
  fprintf(stderr,
          "lumra: %s on %s, %s run: %u networks, %u passes (%u joined a running scan), "
          "%u fetches, %u buffer growths, %lld.%02lld s%s\n",
          opts.backend, opts.ifname, refresh ? "refresh" : "cached", networks, n.passes, n.joined,
          n.fetches, n.grows, static_cast<long long>(elapsed / 1000000),
          static_cast<long long>(elapsed % 1000000 / 10000), g_rewrite_failure);
}

}  // namespace

int lumra_main(int argc, char **argv) {
  open_standard_descriptors();
  const int64_t started = monotonic_us();
  options opts = parse_options(argc, argv);
  g_verbose = opts.verbose;
  g_cache_path = opts.cache;
  g_rewrite_failure[0] = '\0';

  backend_ctx *ctx = backend_open(opts.backend, opts.ifname);
  if (ctx == nullptr) {
    // Two newlines (the text's own and the one the format adds): the consumer
    // reads this message with its blank line as it has always been written.
    fprintf(stderr, "%s\n", "Could not get backend\n");
    explain(opts.backend, "no such backend");
    exit(1);
  }

  bool refresh = opts.refresh || !opts.cached;
  cache_file cache(opts.cache);
  int fd = -1;
  bool malformed = false;
  if (!refresh) {
    // Every failure of open_read sets errno.
    switch (cache.open_read(&fd)) {
      case cache_open::ok:
        break;
      case cache_open::absent:
        refresh = true;
        break;  // scans, as a refresh
      case cache_open::not_regular:
        malformed = true;
        break;
      case cache_open::failed:
        no_cache_exit(errno);
    }
  }
  if (refresh) {
    errno = 0;
    if (cache.prepare() != 0) no_cache_exit(errno);
  }

  int result = -1;
  if (malformed) {
    explain_cache("not a regular file of a size that lumra writes");
    print_error_line();  // never read: not a file that lumra wrote
  } else if (refresh) {
    result = refresh_run(ctx, cache, opts.encode);
  } else {
    result = cached_run(ctx, cache, fd, opts.encode);
  }
  if (g_verbose && result == 0) summarize(opts, refresh, started);

  ctx->ops->destroy(ctx);
  return 0;
}
