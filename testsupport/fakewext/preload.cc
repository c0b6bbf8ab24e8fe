// SPDX-License-Identifier: MIT
// Preload mode: the scenario comes from the file named by FAKEWEXT_SCENARIO,
// and each emulated call is appended to the file named by FAKEWEXT_LOG.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fakewext.h"

namespace {

int log_fd = -1;

void write_call(const fakewext::Call &call) {
  std::string line = fakewext::format_call(call);
  const char *p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(log_fd, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

bool read_file(const char *path, std::string &out) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return n == 0;
}

__attribute__((constructor)) void fakewext_start() {
  const char *path = getenv("FAKEWEXT_SCENARIO");
  if (path == nullptr || *path == '\0') return;  // nothing faked
  std::string text, error;
  fakewext::Driver &driver = fakewext::Driver::instance();
  driver.reset();
  if (!read_file(path, text) || !fakewext::load_scenario(driver, text, &error)) {
    dprintf(2, "fakewext: %s: %s\n", path, error.empty() ? "cannot read" : error.c_str());
    _exit(125);
  }
  const char *scale = getenv("FAKEWEXT_TIME_SCALE");
  if (scale != nullptr && *scale != '\0') {
    char *end = nullptr;
    long n = strtol(scale, &end, 10);
    if (*end != '\0' || n <= 0) {
      dprintf(2, "fakewext: FAKEWEXT_TIME_SCALE: not a positive number: %s\n", scale);
      _exit(125);
    }
    driver.set_time_scale(n);
  }
  const char *log = getenv("FAKEWEXT_LOG");
  if (log != nullptr && *log != '\0') {
    log_fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log_fd >= 0) driver.on_call = write_call;
  }
  driver.activate(true);
}

}  // namespace
