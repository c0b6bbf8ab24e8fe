#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The unit suite again, built by clang under AddressSanitizer and UBSan.
set -euo pipefail
# shellcheck source=../lib.sh
. "$(dirname "$0")/../lib.sh"
need_base
B=$LUMRA_ROOT/build/sanitize
configure_build "$B" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DLUMRA_SANITIZE=address,undefined -DLUMRA_CACHE_PATH="$B/cache/lumra"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$B" --output-on-failure
