#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang under AddressSanitizer and UBSan and
# runs every one (each program named *_fuzz in the build, or those named as
# arguments) until it has executed FUZZ_RUNS inputs (default 10 million).
# FUZZ_MAX_SECONDS (default 900) caps each run so that a slow machine cannot
# hang the stage; a run stopped by the cap short of FUZZ_RUNS fails it, as
# does any crash, leak, sanitizer report or timeout (the input and the log are
# kept in build/fuzz/artifacts).
#
# A target's corpus is fuzz/corpus/<name> (or <name without _fuzz>): seeds
# written by hand, regression inputs among them, and a minimised corpus of
# files named by their SHA-1 as libFuzzer's merge writes them. Each run
# starts from a copy; what it reaches is merged again and counted
# (-set_cover_merge=1: the -merge=1 of fewer files for the same features).
# A differential target (*_diff_fuzz: today's decoder against its copy from
# before cells became records) starts from its plain target's corpus and runs
# FUZZ_DIFF_RUNS inputs (default 1 million): it is some six times slower, and
# the 10 million of its first run are on record. Its merge never replaces
# the plain target's corpus.
# With FUZZ_UPDATE=1 the merge replaces the SHA-1 files of the checked-in
# corpus: refresh (and commit) it when a target or the code it reaches changes.
set -euo pipefail
# shellcheck source=../lib.sh
. "$(dirname "$0")/../lib.sh"
need_base
B=$LUMRA_ROOT/build/fuzz
runs_wanted=${FUZZ_RUNS:-10000000}
cap=${FUZZ_MAX_SECONDS:-900}
configure_build "$B" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DLUMRA_FUZZ=ON -DLUMRA_TESTS=OFF -DLUMRA_SANITIZE=address,undefined

mapfile -t fuzzers < <(find "$B" -type f -perm -u+x -name '*_fuzz' | sort)
if [ $# -gt 0 ]; then
  mapfile -t fuzzers < <(for exe in "${fuzzers[@]}"; do
    for want in "$@"; do [ "$(basename "$exe")" = "$want" ] && echo "$exe"; done
  done)
fi
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "no fuzzers were built${1:+ by the names given}"
  exit 1
fi

is_sha1() { [[ $1 =~ ^[0-9a-f]{40}$ ]]; }
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for exe in "${fuzzers[@]}"; do
  name=$(basename "$exe")
  short=${name%_fuzz}
  dir=$work/$name
  mkdir -p "$dir/corpus" "$dir/merged" "$dir/artifacts"
  home=$LUMRA_ROOT/fuzz/corpus/$name
  [ -d "$home" ] || [ ! -d "$LUMRA_ROOT/fuzz/corpus/$short" ] || home=$LUMRA_ROOT/fuzz/corpus/$short
  goal=$runs_wanted
  if [[ $name == *_diff_fuzz ]]; then
    goal=${FUZZ_DIFF_RUNS:-1000000}
    base=${name%_diff_fuzz}
    for d in "$LUMRA_ROOT/fuzz/corpus/${base}_fuzz" "$LUMRA_ROOT/fuzz/corpus/$base"; do
      if [ ! -d "$home" ] && [ -d "$d" ]; then home=$d; fi
    done
  fi
  # The corpus is copied: what the run adds never lands in the repository.
  if [ -d "$home" ]; then cp -r "$home/." "$dir/corpus/"; fi
  args=(-timeout=10 -rss_limit_mb=2048 -artifact_prefix="$dir/artifacts/")
  for dict in "$LUMRA_ROOT/fuzz/$name.dict" "$LUMRA_ROOT/fuzz/$short.dict"; do
    if [ -f "$dict" ]; then args+=(-dict="$dict"); break; fi
  done
  seeds_in=$(find "$dir/corpus" -type f | wc -l)
  start=$(date +%s%N)
  if "$exe" "${args[@]}" -runs="$goal" -max_total_time="$cap" -print_final_stats=1 \
    "$dir/corpus" >"$dir/log" 2>&1; then
    ms=$(( ($(date +%s%N) - start) / 1000000 + 1 ))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$dir/log" | tail -1)
    corpus=$(find "$dir/corpus" -type f | wc -l)
    "$exe" "${args[@]}" -set_cover_merge=1 "$dir/merged" "$dir/corpus" >"$dir/merge.log" 2>&1 ||
      { echo "$name: merge failed"; tail -n 20 "$dir/merge.log"; failed=1; continue; }
    kept=$(find "$dir/merged" -type f | wc -l)
    echo "$name: ${runs:-?} runs in $((ms / 1000)) s ($(( ${runs:-0} * 1000 / ms )) exec/s)," \
      "corpus ${seeds_in} -> ${corpus}, minimised ${kept}, peak ${rss:-?} MB"
    if [ "${runs:-0}" -lt "$goal" ]; then
      echo "$name: FAILED, stopped at the ${cap} s cap short of $goal runs"
      failed=1
    fi
    if [ "${FUZZ_UPDATE:-0}" = 1 ] && [[ $name != *_diff_fuzz ]]; then
      mkdir -p "$home"
      declare -A seeded=()
      for f in "$home"/*; do
        [ -f "$f" ] || continue
        if is_sha1 "$(basename "$f")"; then rm -f "$f"; else seeded[$(sha1sum <"$f" | cut -c1-40)]=1; fi
      done
      for f in "$dir/merged"/*; do
        [ -f "$f" ] && [ -z "${seeded[$(basename "$f")]:-}" ] && cp "$f" "$home/"
      done
      unset seeded
      echo "$name: ${home#"$LUMRA_ROOT"/} now holds $(find "$home" -type f | wc -l) files"
    fi
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
