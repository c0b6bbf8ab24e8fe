#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every check of the project: installs what is missing, builds, and runs
# the unit suite (g++ and clang with sanitizers), the fuzzers, the VM suite,
# the cross build, the Debian package and the quality gates. Name stages to
# run only those:
#   scripts/test.sh unit sanitize
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then
  stages=(unit sanitize fuzz gates bench cross package vm)
fi
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
