#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The benchmarks (Google Benchmark), built for Release: writing and reading
# the cache, committing a new cache (on disk and on tmpfs), decoding scan
# results, whole refresh runs under the fake driver, and the instruction
# counts of whole runs beside iwlist and iwconfig (bench/cpu.sh).
# Figures only; nothing here is judged by time.
set -euo pipefail
# shellcheck source=../lib.sh
. "$(dirname "$0")/../lib.sh"
need_base
B=$LUMRA_ROOT/build/bench
configure "$B" -DCMAKE_BUILD_TYPE=Release -DLUMRA_BENCH=ON -DLUMRA_CACHE_PATH="$B/cache/lumra"
cmake --build "$B" -j "$JOBS" --target cache_bench commit_bench scan_bench
mkdir -p "$B/cache"
for b in cache_bench commit_bench scan_bench; do
  "$B/bench/$b" --benchmark_min_time="${BENCH_MIN_TIME:-0.2}" 2>&1 | grep -vE '^(Run on|CPU Caches|  L[0-9]|Load Average|[0-9]{4}-)'
done
# Instruction counts of whole runs beside iwlist and iwconfig (callgrind), as
# doc/performance.md explains them; their limits are judged by the cpu gate.
need_pkgs valgrind
cmake --build "$B" -j "$JOBS" --target lumra fakewext_preload
bash "$LUMRA_ROOT/bench/cpu.sh" "$B" || true
