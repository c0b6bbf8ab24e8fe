// SPDX-License-Identifier: MIT
#include "program.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

extern char **environ;

namespace testsupport {
namespace {

std::string read_fd(int fd) {
  std::string text;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
  std::vector<char *> p;
  p.reserve(strings.size() + 1);
  for (std::string &s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// An unlinked temporary file.
int temp_fd() {
  char path[] = "/tmp/lumra-test-XXXXXX";
  int fd = mkostemp(path, O_CLOEXEC);
  if (fd >= 0) unlink(path);
  return fd;
}

void close_fd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

started_program::started_program(started_program &&other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_(std::exchange(other.out_, -1)),
      err_(std::exchange(other.err_, -1)),
      start_error_(std::move(other.start_error_)) {}

started_program &started_program::operator=(started_program &&other) noexcept {
  if (this != &other) {
    started_program gone(std::move(*this));
    pid_ = std::exchange(other.pid_, -1);
    out_ = std::exchange(other.out_, -1);
    err_ = std::exchange(other.err_, -1);
    start_error_ = std::move(other.start_error_);
  }
  return *this;
}

started_program::~started_program() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    finish();
  }
  close_fd(out_);
  close_fd(err_);
}

void started_program::kill(int sig) const {
  if (pid_ > 0) ::kill(pid_, sig);
}

program_result started_program::collect(int wait_status) {
  program_result result;
  pid_ = -1;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  if (out_ >= 0) result.out = read_fd(out_);
  if (err_ >= 0) result.err = read_fd(err_);
  close_fd(out_);
  close_fd(err_);
  return result;
}

bool started_program::poll(program_result &result) {
  if (pid_ <= 0) {
    result = program_result{};
    result.err = start_error_;
    return true;
  }
  int status = 0;
  rusage usage{};
  pid_t got = wait4(pid_, &status, WNOHANG, &usage);
  if (got == 0 || (got < 0 && errno == EINTR)) return false;
  result = collect(status);
  result.max_rss_kb = usage.ru_maxrss;
  return true;
}

program_result started_program::finish() {
  if (pid_ <= 0) {
    program_result result;
    result.err = start_error_;
    return result;
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  program_result result = collect(status);
  result.max_rss_kb = usage.ru_maxrss;
  return result;
}

started_program start_program(const std::vector<std::string> &argv,
                              const program_options &options) {
  started_program p;
  if (argv.empty()) return p;
  p.out_ = temp_fd();
  p.err_ = temp_fd();
  if (p.out_ < 0 || p.err_ < 0) return p;

  std::vector<std::string> args = argv;
  std::vector<char *> arg_ptrs = pointers(args);
  std::vector<std::string> env_copy = options.env != nullptr ? *options.env
                                                             : std::vector<std::string>{};
  std::vector<char *> env_ptrs = pointers(env_copy);
  char *const *envp = options.env != nullptr ? env_ptrs.data() : environ;
  int stdout_fd = -1;
  if (options.stdout_path != nullptr) {
    stdout_fd = open(options.stdout_path, O_WRONLY | O_CLOEXEC);
    if (stdout_fd < 0) {
      p.start_error_ = std::string("open ") + options.stdout_path + ": " + strerror(errno);
      return p;
    }
  }

  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    if (options.close_stdout)
      close(1);
    else if (dup2(stdout_fd >= 0 ? stdout_fd : p.out_, 1) < 0)
      _exit(126);
    if (dup2(p.err_, 2) < 0) _exit(126);
    if (options.umask >= 0) umask(static_cast<mode_t>(options.umask));
    // Debian's unprivileged user "nobody" has the group of the same number.
    if (options.uid >= 0 &&
        (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(options.uid)) != 0 ||
         setuid(static_cast<uid_t>(options.uid)) != 0))
      _exit(126);
    if (options.before_exec != nullptr && options.before_exec() != 0) _exit(126);
    execve(arg_ptrs[0], arg_ptrs.data(), envp);
    _exit(127);
  }
  if (stdout_fd >= 0) close(stdout_fd);
  if (pid < 0) {
    p.start_error_ = std::string("fork: ") + strerror(errno);
    return p;
  }
  p.pid_ = pid;
  return p;
}

program_result run_program(const std::vector<std::string> &argv, const program_options &options) {
  return start_program(argv, options).finish();
}

program_result run_program(const std::vector<std::string> &argv,
                           const std::vector<std::string> *env, const char *stdout_path) {
  program_options options;
  options.env = env;
  options.stdout_path = stdout_path;
  return run_program(argv, options);
}

std::vector<std::string> environment_without(const std::vector<std::string> &prefixes) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) {
    std::string v = *e;
    bool drop = false;
    for (const std::string &p : prefixes) drop = drop || v.rfind(p, 0) == 0;
    if (!drop) env.push_back(v);
  }
  return env;
}

namespace {
int remove_entry(const char *path, const struct stat * /*st*/, int /*flag*/, FTW * /*ftw*/) {
  remove(path);
  return 0;
}
}  // namespace

bool write_file(const std::string &path, const std::string &bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && ok;
}

scratch_dir::scratch_dir() {
  const char *tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lumra-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  chmod(pattern.c_str(), 0755);  // readable by the unprivileged user of some tests
  path_ = pattern;
}

scratch_dir::~scratch_dir() {
  if (!path_.empty()) nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::optional<std::string> read_file(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text = read_fd(fd);
  close(fd);
  return text;
}

bool lumra_starts() {
  // An unknown option: the program stops before it does anything. Under
  // qemu-user the exec fails and the child ends with status 127; the
  // program answers -x with status 1.
  static const bool starts = run_program({LUMRA_BINARY, "-x"}).status == 1;
  return starts;
}

}  // namespace testsupport
