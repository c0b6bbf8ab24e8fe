// The program's entry function: options, run mode, cache file and output.
#include "cli/lumra.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backend/backend.h"
#include "netlist/linefmt.h"

namespace {

constexpr char kDefaultBackend[] = "WE";
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

// Writes the cache form from the start of the file and cuts the file to what
// was written, so no tail of a longer earlier content survives. Stream errors
// count as failure, as the writer itself does not see them.
int write_cache(FILE *cache) {
  rewind(cache);
  if (write_network_lines(1, cache, 1, 0) != 0) return -1;
  if (fflush(cache) != 0 || ferror(cache)) return -1;
  long end = ftell(cache);
  if (end < 0) return -1;
  if (ftruncate(fileno(cache), end) != 0) return -1;
  return 0;
}

// A cache that could not be written completely must not be read back later:
// without the file, the next cached run scans afresh.
void discard_cache() {
  unlink(kCachePath);
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

void refresh_run(backend_ctx *ctx, FILE *cache, bool encode) {
  if (ctx->ops->scan(ctx) != 0) {
    // An empty cache would read back later as "no networks in range".
    discard_cache();
    print_error_line();
    return;
  }
  if (write_cache(cache) != 0) {
    discard_cache();
    print_error_line();
    return;
  }
  print_networks(encode);
}

void cached_run(backend_ctx *ctx, FILE *cache, bool encode) {
  if (read_cache(cache) != 0) {
    print_error_line();
    return;
  }
  int added = 0;
  if (ctx->ops->current(ctx, &added) != 0) {
    print_error_line();
    return;
  }
  // The output does not depend on this rewrite; only the file is at stake.
  if (added == 1 && write_cache(cache) != 0) discard_cache();
  print_networks(encode);
}

}  // namespace

int lumra_main(int argc, char **argv) {
  options opts = parse_options(argc, argv);

  backend_ctx *ctx = backend_open(opts.backend, opts.ifname);
  if (ctx == nullptr) fail_exit("Could not get backend\n");

  bool refresh = opts.refresh || !opts.cached;
  if (refresh) unlink(kCachePath);

  bool reusable = true;
  errno = 0;
  FILE *cache = fopen(kCachePath, "r+");
  if (cache == nullptr) {
    reusable = false;
    errno = 0;
    cache = fopen(kCachePath, "w+");
  }
  if (cache == nullptr) {
    fprintf(stderr, "no cache file: %s\n", errno != 0 ? strerror(errno) : "");
    exit(1);
  }

  if (!refresh && reusable)
    cached_run(ctx, cache, opts.encode);
  else
    refresh_run(ctx, cache, opts.encode);

  ctx->ops->destroy(ctx);
  fclose(cache);
  return 0;
}
