#!/usr/bin/env bash
# Builds lumra and runs it with the given options (default: a refresh run on eth1).
set -euo pipefail
. "$(dirname "$0")/lib.sh"
need_base
B=$LUMRA_ROOT/build/release
configure_build "$B" -DCMAKE_BUILD_TYPE=Release -DLUMRA_TESTS=OFF >/dev/null
exec "$B/lumra" "$@"
