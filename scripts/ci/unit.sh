#!/usr/bin/env bash
# The unit suite with g++ (debug, library assertions on).
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
need_base
B=$LUMRA_ROOT/build/unit
configure_build "$B" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
  -DLUMRA_CACHE_PATH="$B/cache/lumra"
ctest --test-dir "$B" --output-on-failure
