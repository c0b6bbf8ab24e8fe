#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds lumra and runs it.
#   scripts/run.sh [LUMRA OPTIONS...]   on a machine with a wireless interface
#   scripts/run.sh --vm                 the demonstration in a VM
# With a wireless interface, lumra runs here with the options given (without
# -i, on the first wireless interface). Without one, or with --vm, it boots a
# VM with virtual radios, access points and an associated station, and shows
# a refresh run, an encoded cached run and a cached run there.
set -euo pipefail
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

wireless=()
for dev in /sys/class/net/*; do
  [ -d "$dev/wireless" ] || [ -e "$dev/phy80211" ] && wireless+=("${dev##*/}")
done

if [ "${1:-}" = --vm ] || [ ${#wireless[@]} -eq 0 ]; then
  [ "${1:-}" = --vm ] || echo "no wireless interface on this machine: running the demonstration VM"
  exec bash "$LUMRA_ROOT/tests/vm/run.sh" demo
fi

need_base
B=$LUMRA_ROOT/build/release
configure_build "$B" -DCMAKE_BUILD_TYPE=Release -DLUMRA_TESTS=OFF >/dev/null
# The program expects the cache directory to exist; it never creates it.
[ -d /var/cache/lumra ] || mkdir -p /var/cache/lumra 2>/dev/null ||
  echo "note: /var/cache/lumra is missing and could not be created" >&2
has_iface=0
for a in "$@"; do
  case $a in -i* | --interface*) has_iface=1 ;; esac
done
if [ $has_iface -eq 0 ]; then
  echo "lumra -i ${wireless[0]} $*" >&2
  exec "$B/lumra" -i "${wireless[0]}" "$@"
fi
exec "$B/lumra" "$@"
