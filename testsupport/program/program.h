// SPDX-License-Identifier: MIT
// Runs built programs as whole processes for the tests.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct program_result {
  int status = -1;      // the exit status, or -1 when it did not exit normally
  int signal = 0;       // the signal that ended it, if one did
  long max_rss_kb = 0;  // the largest resident set it had
  std::string out;
  std::string err;
};

// How the child starts, beyond its arguments.
struct program_options {
  const std::vector<std::string> *env = nullptr;  // null: this process's environment
  const char *stdout_path = nullptr;              // set: standard output goes to that existing file
  bool close_stdout = false;                      // started with descriptor 1 closed
  int umask = -1;                                 // -1: inherited
  int uid = -1;                    // the user (and its group id) to become; -1: unchanged
  int (*before_exec)() = nullptr;  // in the child, last; non-zero: it ends (async-signal-safe)
};

// A program started and not yet waited for.
class started_program {
 public:
  started_program() = default;
  started_program(started_program &&other) noexcept;
  started_program &operator=(started_program &&other) noexcept;
  started_program(const started_program &) = delete;
  started_program &operator=(const started_program &) = delete;
  ~started_program();  // kills and waits for a program still running

  bool running() const { return pid_ > 0; }
  // True once it has ended, with its result (never blocks).
  bool poll(program_result &result);
  // Waits for the end.
  program_result finish();
  void kill(int sig) const;

 private:
  friend started_program start_program(const std::vector<std::string> &, const program_options &);
  program_result collect(int wait_status);
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string start_error_;
};

// Starts argv[0] with its arguments; running() is false when it could not.
started_program start_program(const std::vector<std::string> &argv,
                              const program_options &options = {});

// Runs argv[0] with its arguments to its end. env null: this process's
// environment. stdout_path set: standard output goes to that existing file
// instead of being captured.
program_result run_program(const std::vector<std::string> &argv,
                           const std::vector<std::string> *env = nullptr,
                           const char *stdout_path = nullptr);
program_result run_program(const std::vector<std::string> &argv, const program_options &options);

// This process's environment without the variables whose names start with
// one of the prefixes.
std::vector<std::string> environment_without(const std::vector<std::string> &prefixes);

// A directory of a test's own under $TMPDIR (or /tmp), removed with all it
// holds when the object goes: no two tests, in one process or in parallel
// ones, share a scratch file.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir &) = delete;
  scratch_dir &operator=(const scratch_dir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// The bytes of a file, or nullopt when it cannot be opened. Opened without
// blocking, so a FIFO put at the path reads as empty instead of hanging.
std::optional<std::string> read_file(const std::string &path);
// Replaces a file's bytes; false on failure, also where a FIFO without a
// reader stands at the path (it would block an ordinary open).
bool write_file(const std::string &path, const std::string &bytes);

// False where the built lumra cannot be started, as for a cross build whose
// tests run under qemu-user without a binfmt_misc handler.
bool lumra_starts();

}  // namespace testsupport
