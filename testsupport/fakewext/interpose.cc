// SPDX-License-Identifier: MIT
// The system calls that the fake driver stands behind. Linked into a test
// program (or preloaded), these definitions come before the C library's, so
// libiw's calls reach them too; anything the driver does not answer goes on
// to the next definition, normally the C library's.
//
// Built with the C library's own file offsets: with 64-bit ones on a 32-bit
// target `fopen` would name fopen64, while libiw (built without them) calls
// fopen itself. Both names are defined below.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>

#include "fakewext.h"

namespace {

template <typename Fn>
Fn next(const char *name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int ret = 0;
  if (fakewext::Driver::instance().ioctl(fd, request, arg, &ret)) return ret;
  using Fn = int (*)(int, unsigned long, ...);
  static const Fn real = next<Fn>("ioctl");
  return real(fd, request, arg);
}

extern "C" int select(int nfds, fd_set *r, fd_set *w, fd_set *x, timeval *tv) {
  int ret = 0;
  if (fakewext::Driver::instance().select(nfds, r, w, x, tv, &ret)) return ret;
  using Fn = int (*)(int, fd_set *, fd_set *, fd_set *, timeval *);
  static const Fn real = next<Fn>("select");
  return real(nfds, r, w, x, tv);
}

extern "C" int poll(pollfd *fds, nfds_t nfds, int timeout) {
  int ret = 0;
  if (fakewext::Driver::instance().poll(fds, nfds, timeout, &ret)) return ret;
  using Fn = int (*)(pollfd *, nfds_t, int);
  static const Fn real = next<Fn>("poll");
  return real(fds, nfds, timeout);
}

namespace {

// Resolved at load time: sanitizer allocators call clock_gettime from inside
// malloc, where a lazy dlsym (or a guarded static) could recurse.
using ClockFn = int (*)(clockid_t, timespec *);
ClockFn real_clock_gettime = nullptr;
__attribute__((constructor)) void resolve_clock() {
  real_clock_gettime = next<ClockFn>("clock_gettime");
}

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec *ts) noexcept {
  if (fakewext::virtual_clock(id, ts)) return 0;
  if (real_clock_gettime == nullptr) return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
  return real_clock_gettime(id, ts);
}

extern "C" FILE *fopen(const char *path, const char *mode) {
  FILE *ret = nullptr;
  if (fakewext::Driver::instance().fopen(path, mode, &ret)) return ret;
  using Fn = FILE *(*)(const char *, const char *);
  static const Fn real = next<Fn>("fopen");
  return real(path, mode);
}

extern "C" FILE *fopen64(const char *path, const char *mode) {
  FILE *ret = nullptr;
  if (fakewext::Driver::instance().fopen(path, mode, &ret)) return ret;
  using Fn = FILE *(*)(const char *, const char *);
  static const Fn real = next<Fn>("fopen64");
  return real(path, mode);
}
