// Runs built programs as whole processes for the tests.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct program_result {
  int status = -1;  // the exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs argv[0] with its arguments. env null: this process's environment.
// stdout_path set: standard output goes to that existing file instead of
// being captured.
program_result run_program(const std::vector<std::string> &argv,
                           const std::vector<std::string> *env = nullptr,
                           const char *stdout_path = nullptr);

// This process's environment without the variables whose names start with
// one of the prefixes.
std::vector<std::string> environment_without(const std::vector<std::string> &prefixes);

// False where the built lumra cannot be started, as for a cross build whose
// tests run under qemu-user without a binfmt_misc handler.
bool lumra_starts();

}  // namespace testsupport
