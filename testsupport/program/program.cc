#include "program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// An unlinked temporary file, closed with the object.
struct temp_fd {
  int fd = -1;
  temp_fd() {
    char path[] = "/tmp/lumra-test-XXXXXX";
    fd = mkstemp(path);
    if (fd >= 0) unlink(path);
  }
  ~temp_fd() {
    if (fd >= 0) close(fd);
  }
  temp_fd(const temp_fd &) = delete;
  temp_fd &operator=(const temp_fd &) = delete;
};

}  // namespace

program_result run_program(const std::vector<std::string> &argv,
                           const std::vector<std::string> *env, const char *stdout_path) {
  program_result result;
  temp_fd out;
  temp_fd err;
  if (out.fd < 0 || err.fd < 0 || argv.empty()) return result;

  std::vector<std::string> args = argv;
  std::vector<char *> arg_ptrs = pointers(args);
  std::vector<std::string> env_copy;
  std::vector<char *> env_ptrs;
  if (env != nullptr) {
    env_copy = *env;
    env_ptrs = pointers(env_copy);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_path != nullptr)
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path, O_WRONLY, 0);
  else
    posix_spawn_file_actions_adddup2(&actions, out.fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd, 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, arg_ptrs[0], &actions, nullptr, arg_ptrs.data(),
                       env != nullptr ? env_ptrs.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    result.err = std::string("posix_spawn: ") + strerror(rc);
    return result;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = read_fd(out.fd);
  result.err = read_fd(err.fd);
  return result;
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

bool lumra_starts() {
  // An unknown option: the program stops before it does anything. Under
  // qemu-user the spawn itself succeeds and the failed exec shows as the
  // child's status 127; the program answers -x with status 1.
  static const bool starts = run_program({LUMRA_BINARY, "-x"}).status == 1;
  return starts;
}

}  // namespace testsupport
