// SPDX-License-Identifier: MIT
// The program's entry function.
#pragma once

// Runs once: options, backend, run mode, cache, output. Returns the exit status;
// fatal start-up errors exit the process with status 1.
int lumra_main(int argc, char **argv);

// The cache file, fixed at build time.
extern const char *const kCachePath;
