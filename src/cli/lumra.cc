// The program's entry function: options, run mode, cache file and output.
#include "cli/lumra.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backend/backend.h"
#include "cli/cachefile.h"
#include "netlist/linefmt.h"

namespace {

constexpr char kDefaultBackend[] = LUMRA_DEFAULT_BACKEND;
constexpr char kDefaultInterface[] = "eth1";

const option kLongOptions[] = {
    {"backend", required_argument, nullptr, 'b'},
    {"cached", no_argument, nullptr, 'c'},
    {"encode", no_argument, nullptr, 'e'},
    {"interface", required_argument, nullptr, 'i'},
    {"refresh", no_argument, nullptr, 'r'},
    {nullptr, 0, nullptr, 0},
};

struct options {
  const char *backend = kDefaultBackend;
  const char *ifname = kDefaultInterface;
  bool cached = false;
  bool encode = false;
  bool refresh = false;
};

[[noreturn]] void fail_exit(const char *message) {
  fprintf(stderr, "%s\n", message);
  exit(1);
}

options parse_options(int argc, char **argv) {
  options opts;
  // The consumer expects our one message, not getopt's own diagnostics.
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, "b:cei:r", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'b': opts.backend = optarg; break;
      case 'c': opts.cached = true; break;
      case 'e': opts.encode = true; break;
      case 'i': opts.ifname = optarg; break;
      case 'r': opts.refresh = true; break;
      case '?': fail_exit("unknown option");
      default: break;
    }
  }
  return opts;
}

void print_error_line() {
  fputs(kErrorLine, stdout);
}

// The cache form, as the commit step asks for it.
int fill_cache(FILE *stream, void * /*unused*/) { return write_network_lines(1, stream, 1, 0); }

[[noreturn]] void no_cache_exit(int error) {
  fprintf(stderr, "no cache file: %s\n", error != 0 ? strerror(error) : "");
  exit(1);
}

// A closed standard descriptor would be taken by the next file opened, so
// the output line could land in the cache or a socket: each is opened on
// /dev/null first.
void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd != fd) exit(1);  // nothing can be reported safely
  }
}

// The output form on standard output; on failure the records already written
// stay and the error line follows them.
void print_networks(bool encode) {
  int rc = write_network_lines(encode ? 1 : 0, stdout, 0, 1);
  if (rc == 0 && fflush(stdout) == 0 && !ferror(stdout)) return;
  clearerr(stdout);
  print_error_line();
  fflush(stdout);
}

void refresh_run(backend_ctx *ctx, cache_file &cache, bool encode) {
  if (ctx->ops->scan(ctx) != 0) {
    // The old list is not the present one either; without a cache the next
    // cached run scans afresh.
    cache.discard();
    print_error_line();
    return;
  }
  // A newer cache committed by another run meanwhile stays; this run's
  // list is printed all the same.
  if (cache.commit(fill_cache, nullptr) < 0) {
    print_error_line();
    return;
  }
  print_networks(encode);
}

void cached_run(backend_ctx *ctx, cache_file &cache, FILE *stream, bool encode) {
  if (read_cache(stream) != 0) {
    print_error_line();
    return;
  }
  int added = 0;
  if (ctx->ops->current(ctx, &added) != 0) {
    print_error_line();
    return;
  }
  // The output does not depend on this rewrite; only the file is at stake.
  if (added == 1) cache.commit(fill_cache, nullptr);
  print_networks(encode);
}

}  // namespace

int lumra_main(int argc, char **argv) {
  open_standard_descriptors();
  options opts = parse_options(argc, argv);

  backend_ctx *ctx = backend_open(opts.backend, opts.ifname);
  if (ctx == nullptr) fail_exit("Could not get backend\n");

  bool refresh = opts.refresh || !opts.cached;
  cache_file cache(kCachePath);
  FILE *stream = nullptr;
  bool malformed = false;
  if (!refresh) {
    errno = 0;
    switch (cache.open_read(&stream)) {
      case cache_open::ok: break;
      case cache_open::absent: refresh = true; break;  // scans, as a refresh
      case cache_open::not_regular: malformed = true; break;
      case cache_open::failed: no_cache_exit(errno);
    }
  }
  errno = 0;
  if (refresh && cache.prepare() != 0) no_cache_exit(errno);

  if (malformed)
    print_error_line();  // never read: not a file that lumra wrote
  else if (refresh)
    refresh_run(ctx, cache, opts.encode);
  else
    cached_run(ctx, cache, stream, opts.encode);

  ctx->ops->destroy(ctx);
  return 0;
}
