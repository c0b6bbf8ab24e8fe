#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The unit suite with g++ (debug, library assertions on): every case under
# ctest (each in a process of its own), then the whole suite once in one
# process in shuffled order, so that a test depending on what another left
# behind shows up. The seed is printed; GTEST_RANDOM_SEED=N reruns that order.
# Then the tests of the Python scripts: the valgrind readers of the gates and
# the VM suite's checker.
set -euo pipefail
# shellcheck source=../lib.sh
. "$(dirname "$0")/../lib.sh"
need_base
B=$LUMRA_ROOT/build/unit
configure_build "$B" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
  -DLUMRA_CACHE_PATH="$B/cache/lumra"
ctest --test-dir "$B" --output-on-failure
seed=${GTEST_RANDOM_SEED:-$((RANDOM % 99999 + 1))}
echo "unit suite in one process, shuffled with seed $seed (rerun: GTEST_RANDOM_SEED=$seed $0)"
"$B/lumra_tests" --gtest_shuffle --gtest_random_seed="$seed" --gtest_brief=1
python3 -m unittest discover -s "$LUMRA_ROOT/scripts/ci" -t "$LUMRA_ROOT/scripts/ci"
python3 -m unittest discover -s "$LUMRA_ROOT/tests/vm" -t "$LUMRA_ROOT/tests/vm"
