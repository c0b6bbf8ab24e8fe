#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross build with Debian's cross compilers and multiarch libraries through
# the generic toolchain file (cmake/cross.cmake), the unit suite of that
# build under qemu-user, then the Debian package of each
# (scripts/ci/package.sh cross). Architectures: LUMRA_CROSS_ARCHES
# (Debian names, default "arm64 armhf").
set -euo pipefail
# shellcheck source=../lib.sh
. "$(dirname "$0")/../lib.sh"

triplet() {
  case $1 in
    arm64) echo aarch64-linux-gnu ;;
    armhf) echo arm-linux-gnueabihf ;;
    *) echo "cross: no toolchain file for $1" >&2; return 1 ;;
  esac
}

# Tests left out under qemu-user, as a ctest name regex (the tests that start
# the built program skip themselves when the kernel cannot start a foreign
# binary).
QEMU_SKIP=${LUMRA_CROSS_SKIP:-}

need_base
read -r -a arches <<<"${LUMRA_CROSS_ARCHES:-arm64 armhf}"
for arch in "${arches[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo dpkg --add-architecture "$arch"
    unset LUMRA_APT_UPDATED  # the new architecture's package lists
  fi
done
for arch in "${arches[@]}"; do
  t=$(triplet "$arch")
  need_pkgs "g++-$t" "libiw-dev:$arch" "libmnl-dev:$arch" "libgtest-dev:$arch" "libstdc++6:$arch" qemu-user-static file
done

failed=()
# What a device maker sees whose SDK lacks libiw: the first architecture
# configured with the target's library directory and headers hidden. The
# configure must stop with the package to install and the build without WE.
t=$(triplet "${arches[0]}")
N=$LUMRA_ROOT/build/cross-${arches[0]}-nolibiw
rm -rf "$N"
mkdir -p "$N"
if cmake -S "$LUMRA_ROOT" -B "$N" -DCMAKE_TOOLCHAIN_FILE="$LUMRA_ROOT/cmake/cross.cmake" \
  -DLUMRA_TARGET="$t" -DLUMRA_SYSROOT=/ -DCMAKE_IGNORE_PATH="/usr/include;/usr/lib/$t" \
  >"$N/configure.log" 2>&1; then
  echo "cross: a configure without the target's libiw passed"
  failed+=(nolibiw)
else
  msg=$(tr -s ' \n' ' ' <"$N/configure.log" | grep -o 'libiw (iwlib.h.*-DLUMRA_BACKENDS=NL80211' || true)
  [ -n "$msg" ] || { cat "$N/configure.log"; echo "cross: no word of libiw-dev and of the build without WE"; failed+=(nolibiw); }
  echo "-- ${arches[0]} without libiw: $msg"
fi
rm -rf "$N"
for arch in "${arches[@]}"; do
  t=$(triplet "$arch")
  B=$LUMRA_ROOT/build/cross-$arch
  echo "-- $arch ($t)"
  # The generic toolchain file, as a device SDK is used with it: the
  # triplet, the compilers' prefix, and the root of the target's libraries
  # (here the build machine's own, with the multiarch directories).
  configure_build "$B" -DCMAKE_TOOLCHAIN_FILE="$LUMRA_ROOT/cmake/cross.cmake" \
    -DLUMRA_TARGET="$t" -DLUMRA_CROSS_COMPILE="$(dirname "$(command -v "$t-g++")")/$t-" \
    -DLUMRA_SYSROOT=/ -DCMAKE_BUILD_TYPE=Release
  file -b "$B/lumra"
  readelf -d "$B/lumra" | awk '/NEEDED/ {print "   needs", $NF}'
  # The file size includes the padding that aligns the segments to the
  # largest page size of the architecture (64 KiB on arm64); what is loaded
  # is the sum of the LOAD segments.
  loaded=0
  while read -r size; do loaded=$((loaded + size)); done \
    < <(readelf -lW "$B/lumra" | awk '$1 == "LOAD" {print $5}')
  echo "   $(stat -c %s "$B/lumra") bytes, of which $loaded bytes in LOAD segments"
  exclude=()
  if [ -n "$QEMU_SKIP" ]; then exclude=(-E "$QEMU_SKIP"); fi
  if ctest --test-dir "$B" --output-on-failure "${exclude[@]}" >"$B/ctest.log" 2>&1; then
    grep -aE 'tests passed' "$B/ctest.log"
    echo "   $(grep -ac '(Skipped)' "$B/ctest.log") skipped"
  else
    # Either may match nothing; the report goes on.
    grep -aE 'Failure$' "$B/ctest.log" | head -40 || true
    grep -aE '\(Failed\)|tests passed' "$B/ctest.log" || true
    echo "cross: $arch unit suite failed under qemu-user (log: $B/ctest.log)"
    failed+=("$arch")
  fi
done
# The Debian package of each architecture, with the cross toolchain.
bash "$(dirname "$0")/package.sh" cross "${arches[@]}" || failed+=(package)
[ ${#failed[@]} -eq 0 ]
