#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the checks of the project: installs what is missing, builds, and runs
# the stages of scripts/ci/. Without an argument every stage runs, as CI does
# (.ci/run); name stages to run only those, or "quick" for the unit suite,
# the sanitizers and the gates:
#   scripts/test.sh quick
#   scripts/test.sh unit package
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# What each stage does and about how long it takes on two cores once its
# packages are installed (a fresh machine first spends minutes installing).
describe() {
  case $1 in
    unit) echo "unit suite (g++) and the scripts' tests, ~2 min" ;;
    sanitize) echo "unit suite under ASan and UBSan (clang), ~2 min" ;;
    fuzz) echo "every fuzz target to 10 million inputs, up to 15 min each, ~12 min" ;;
    gates) echo "footprint, heap, install, memcheck, tidy, cppcheck, cpu, shellcheck, format, ~3 min" ;;
    bench) echo "benchmarks and instruction counts, ~1 min" ;;
    cross) echo "arm64 and armhf builds, their tests under qemu-user and packages; adds dpkg architectures, ~4 min" ;;
    package) echo "Debian package built, linted, installed, run and purged; stops if lumra is installed, ~2 min" ;;
    vm) echo "the suite in a VM with virtual radios, ~12 min" ;;
    *) echo "no such stage" ;;
  esac
}

stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then
  stages=(unit sanitize fuzz gates bench cross package vm)
elif [ ${#stages[@]} -eq 1 ] && [ "${stages[0]}" = quick ]; then
  stages=(unit sanitize gates)
fi
echo "stages to run:"
for s in "${stages[@]}"; do printf '  %-9s %s\n' "$s" "$(describe "$s")"; done
failed=()
passed=()
for s in "${stages[@]}"; do
  script="$here/ci/$s.sh"
  [ -f "$script" ] || { echo "== $s: no such stage"; failed+=("$s"); continue; }
  echo "== stage $s"
  start=$SECONDS
  if bash "$script"; then
    passed+=("$s")
    echo "== stage $s passed ($((SECONDS - start)) s)"
  else
    failed+=("$s")
    echo "== stage $s FAILED ($((SECONDS - start)) s)"
  fi
done
echo "stages: ${#passed[@]} passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
