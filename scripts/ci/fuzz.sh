#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and UBSan and
# runs every one (each program named *_fuzz in the build) for FUZZ_SECONDS
# (default 60) on a copy of its seed corpus. Any crash, leak, sanitizer
# report or timeout fails the stage; its input is kept in build/fuzz/artifacts.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
need_base
B=$LUMRA_ROOT/build/fuzz
each=${FUZZ_SECONDS:-60}
configure_build "$B" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DLUMRA_FUZZ=ON -DLUMRA_TESTS=OFF -DLUMRA_SANITIZE=address,undefined

mapfile -t fuzzers < <(find "$B" -type f -perm -u+x -name '*_fuzz' | sort)
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "no fuzzers were built"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for exe in "${fuzzers[@]}"; do
  name=$(basename "$exe")
  short=${name%_fuzz}
  dir=$work/$name
  mkdir -p "$dir/corpus" "$dir/artifacts"
  # The seeds are copied: what the run adds never lands in the repository.
  for seeds in "$LUMRA_ROOT/fuzz/corpus/$name" "$LUMRA_ROOT/fuzz/corpus/$short"; do
    if [ -d "$seeds" ]; then cp -r "$seeds/." "$dir/corpus/"; fi
  done
  args=(-max_total_time="$each" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$dir/artifacts/")
  for dict in "$LUMRA_ROOT/fuzz/$name.dict" "$LUMRA_ROOT/fuzz/$short.dict"; do
    if [ -f "$dict" ]; then args+=(-dict="$dict"); break; fi
  done
  seeds_in=$(find "$dir/corpus" -type f | wc -l)
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$exe" "${args[@]}" "$dir/corpus" >"$dir/log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$dir/log" | tail -1)
    corpus=$(find "$dir/corpus" -type f | wc -l)
    echo "$name: ok, ${runs:-?} runs in ${each} s (${rate:-?} exec/s), corpus ${seeds_in} -> ${corpus}, peak ${rss:-?} MB"
  else
    failed=1
    keep=$B/artifacts/$name
    mkdir -p "$keep"
    cp -r "$dir/artifacts/." "$keep/" 2>/dev/null || true
    cp "$dir/log" "$keep/log"
    echo "$name: FAILED (inputs and log in $keep)"
    tail -n 60 "$dir/log"
  fi
done
exit $failed
