#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package (debian/): built from a copy of the tree, unit suite
# included; lintian with no error and no warning; installed on this machine
# and run from there (--version, and a refresh run on the fake driver);
# removed, leaving nothing it installed; purged, taking the cache directory.
#   scripts/ci/package.sh               the stage, for this machine
#   scripts/ci/package.sh cross ARCH... built with Debian's cross toolchain
#                                       for each architecture, and lintian
# Everything it builds goes to build/package/; the tree is left as it was.
set -euo pipefail
# shellcheck source=../lib.sh
. "$(dirname "$0")/../lib.sh"

P=$LUMRA_ROOT/build/package
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# copy_tree DIR: the tree's files (tracked, and untracked ones not ignored)
# copied into DIR, as the build writes beside the sources and above them.
copy_tree() {
  rm -rf "$1"
  mkdir -p "$1"
  if git -C "$LUMRA_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$LUMRA_ROOT" ls-files -z --cached --others --exclude-standard |
      tar -C "$LUMRA_ROOT" --null --ignore-failed-read -T - -cf - | tar -x -C "$1"
  else
    tar -C "$LUMRA_ROOT" --exclude=./build -cf - . | tar -x -C "$1"
  fi
}

# build DIR [dpkg-buildpackage ARGS...]: builds the package in DIR/src; the
# .deb, .buildinfo and .changes land in DIR.
build() {
  local dir=$1
  shift
  copy_tree "$dir/src"
  rm -f "$dir"/lumra_*
  if ! (cd "$dir/src" && dpkg-buildpackage -us -uc -b -j"$JOBS" "$@") >"$dir/build.log" 2>&1; then
    tail -n 60 "$dir/build.log"
    echo "package: dpkg-buildpackage $* failed (log: $dir/build.log)"
    return 1
  fi
  grep -a 'tests passed' "$dir/build.log" | sed 's/^/  unit suite: /' || true
}

# lint CHANGES: lintian over the package; errors and warnings fail.
lint() {
  local out rc=0
  out=$(lintian --fail-on error,warning --display-info "$1" 2>&1) || rc=$?
  out=$(grep -v 'running with root privileges' <<<"$out" || true)
  echo "  lintian:"
  local l
  while IFS= read -r l; do echo "    $l"; done <<<"${out:-no tags}"
  [ $rc -eq 0 ] || echo "package: lintian found errors or warnings"
  return $rc
}

# add_arch ARCH: the architecture known to dpkg and apt (multiarch).
add_arch() {
  if ! dpkg --print-foreign-architectures | grep -qx "$1"; then
    $sudo dpkg --add-architecture "$1"
    unset LUMRA_APT_UPDATED # the new architecture's package lists
  fi
}

if [ "${1:-}" = cross ]; then
  shift
  # build-essential:native is a build dependency of every Debian package,
  # cross ones too.
  need_pkgs dpkg-dev debhelper lintian cmake build-essential devscripts
  for arch in "$@"; do add_arch "$arch"; done
  for arch in "$@"; do
    need_pkgs "crossbuild-essential-$arch" "libiw-dev:$arch" "libmnl-dev:$arch"
  done
  for arch in "$@"; do
    echo "-- package for $arch"
    D=$P/cross-$arch
    build "$D" -a "$arch" -Pcross,nocheck
    deb=$(echo "$D"/lumra_*_"$arch".deb)
    echo "  $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
    lint "$D"/lumra_*_"$arch".changes
    rm -rf "$D/extract"
    dpkg-deb -x "$deb" "$D/extract"
    # The build machine's objdump cannot disassemble the target's code,
    # which only the stack clash check (not asked for) reads.
    hardening-check --nocfprotection "$D/extract/usr/sbin/lumra" 2>/dev/null | sed 's/^/  /' ||
      { echo "package: the $arch program lacks a hardening feature"; exit 1; }
  done
  exit 0
fi

need_base
need_pkgs debhelper lintian dpkg-dev build-essential file devscripts systemd
version=$(dpkg-parsechangelog -l "$LUMRA_ROOT/debian/changelog" -S Version)
project=$(sed -n 's/^project(lumra VERSION \([0-9.]*\).*/\1/p' "$LUMRA_ROOT/CMakeLists.txt")
[ "$version" = "$project" ] ||
  { echo "package: debian/changelog says $version, CMakeLists.txt $project"; exit 1; }

# The stage installs its package on this machine and purges it at the end,
# cache directory and all; it leaves alone a lumra it did not install (the
# package in any state, a program installed by hand, a cache directory) and
# stops instead.
present=""
status=$(dpkg-query -W -f='${db:Status-Status} ${Version}' lumra 2>/dev/null || true)
case $status in "" | not-installed*) ;; *) present="the package lumra ($status)" ;; esac
for f in /usr/sbin/lumra /var/cache/lumra; do
  [ ! -e "$f" ] || present="${present:+$present, }$f"
done
if [ -n "$present" ]; then
  echo "package: lumra is on this machine ($present); the stage installs and purges"
  echo "package: a package of its own, so it stops: remove that one first, or run the stage in a chroot"
  exit 1
fi

# That check, run as the stage: a stand-in package named lumra is installed,
# the stage must stop and leave it, and the stand-in goes again.
stand_in=$(mktemp -d)
# shellcheck disable=SC2317 # called by the EXIT trap
drop_stand_in() {
  if [ "$(dpkg-query -W -f='${Version}' lumra 2>/dev/null)" = 0~stand-in ]; then
    $sudo dpkg --purge lumra >/dev/null
  fi
  rm -rf "$stand_in"
}
trap drop_stand_in EXIT
mkdir -p "$stand_in/pkg/DEBIAN"
printf '%s\n' 'Package: lumra' 'Version: 0~stand-in' 'Architecture: all' \
  'Maintainer: lumra CI <ci@invalid>' 'Description: stand-in for a check of the package stage' \
  >"$stand_in/pkg/DEBIAN/control"
dpkg-deb --root-owner-group -b "$stand_in/pkg" "$stand_in/lumra.deb" >/dev/null
$sudo dpkg -i "$stand_in/lumra.deb" >/dev/null
if bash "$0" >"$stand_in/log" 2>&1 || ! grep -q 'so it stops' "$stand_in/log"; then
  sed 's/^/    /' "$stand_in/log"
  echo "package: the stage did not stop where lumra was installed"
  exit 1
fi
[ "$(dpkg-query -W -f='${db:Status-Status} ${Version}' lumra)" = "installed 0~stand-in" ] ||
  { echo "package: the stage touched the lumra installed before it"; exit 1; }
drop_stand_in
trap - EXIT
echo "  with a lumra installed, the stage stops and leaves it"

D=$P/native
build "$D"
arch=$(dpkg --print-architecture)
deb=$D/lumra_${version}_$arch.deb
lint "$D/lumra_${version}_$arch.changes"
echo "  $(basename "$deb"): $(dpkg-deb -f "$deb" Installed-Size) KiB installed, Depends: $(dpkg-deb -f "$deb" Depends)"

# The shipped program's hardening: PIE, stack protector, fortified calls,
# full RELRO, bound at start-up. Control-flow protection is not asked for:
# dpkg of Debian 12 does not build with it.
X=$P/extract
rm -rf "$X"
dpkg-deb -x "$deb" "$X"
hardening-check --nocfprotection "$X/usr/sbin/lumra" | sed 's/^/  /' ||
  { echo "package: the shipped program lacks a hardening feature"; exit 1; }

# The fake driver, from a test build of the tree, for a run of the installed
# program.
F=$P/fakewext
configure "$F" -DCMAKE_BUILD_TYPE=Debug -DLUMRA_TESTS=ON
cmake --build "$F" -j "$JOBS" --target fakewext_preload >/dev/null

# What was there before: the package's directories shared with others.
existed=$(mktemp)
installed=$(mktemp)
# A run that stops half-way takes the package off the machine all the same.
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
  rm -f "$existed" "$installed"
  if dpkg-query -W -f='${db:Status-Status}' lumra 2>/dev/null | grep -qv not-installed; then
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq lumra >/dev/null || true
  fi
}
trap cleanup EXIT
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | while read -r f; do
  if [ -n "$f" ] && [ -e "$f" ]; then echo "$f"; fi
done >"$existed"

failed=0
fail() {
  echo "package: $*"
  failed=1
}
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
dpkg -L lumra >"$installed"
echo "  installed (dpkg -L lumra):"
sed 's/^/    /' "$installed"
[ "$(stat -c '%a %U' /var/cache/lumra 2>/dev/null)" = "755 root" ] ||
  fail "the cache directory /var/cache/lumra was not made at install"

# --version: "lumra VERSION" first.
vout=$(/usr/sbin/lumra --version 2>&1) || fail "lumra --version exited $?: $vout"
[ "$(head -n 1 <<<"$vout" | awk '{print $1, $2}')" = "lumra $version" ] ||
  fail "lumra --version printed '$vout', expected 'lumra $version' first"

# A refresh run of the installed program on the fake driver: the line the
# scenario's three cells give, and the cache written where the package said.
expected_line='ESSID:cafe open,Master,off,1,50 %,ESSID:home,Master,WPA2-PSK,6,85 %,54 Mbit/s,ESSID:office,Master,WPA-PSK/WPS,36,28 %,'
expected_cache='ESSID:cafe%20open,00:1A:2B:3C:4D:01,Master,off,1,50 %,ESSID:home,00:1A:2B:3C:4D:02,Master,WPA2-PSK,6,85 %,ESSID:office,00:1A:2B:3C:4D:03,Master,WPA-PSK/WPS,36,28 %,'
line=$($sudo env FAKEWEXT_SCENARIO="$LUMRA_ROOT/testsupport/fakewext/scenarios/basic.scn" \
  LD_PRELOAD="$F/testsupport/fakewext/libfakewext.so" /usr/sbin/lumra -i wlan0) ||
  fail "the refresh run exited $?"
[ "$line" = "$expected_line" ] || fail "the refresh run printed '$line', expected '$expected_line'"
[ "$(cat /var/cache/lumra/lumra 2>/dev/null)" = "$expected_cache" ] ||
  fail "/var/cache/lumra/lumra does not hold the refresh run's list"
echo "  refresh run on the fake driver: $line"
# A cache of an interface's own, as the refresh timer writes it; the purge
# takes it with the rest.
$sudo env FAKEWEXT_SCENARIO="$LUMRA_ROOT/testsupport/fakewext/scenarios/basic.scn" \
  LD_PRELOAD="$F/testsupport/fakewext/libfakewext.so" /usr/sbin/lumra -i wlan0 -f /var/cache/lumra/wlan0 >/dev/null
[ "$(cat /var/cache/lumra/wlan0 2>/dev/null)" = "$expected_cache" ] ||
  fail "/var/cache/lumra/wlan0 does not hold the refresh run's list"

# The refresh timer and its service, as an instance for wlan0, pass
# systemd's checks; the package enables neither.
units=$(mktemp -d)
for u in service timer; do
  cp "/lib/systemd/system/lumra-refresh@.$u" "$units/lumra-refresh@wlan0.$u" ||
    fail "lumra-refresh@.$u is not installed"
done
if ! verify=$(systemd-analyze verify --man=no "$units"/* 2>&1) || [ -n "$verify" ]; then
  fail "systemd-analyze verify: $verify"
fi
rm -rf "$units"
echo "  lumra-refresh@wlan0.timer and .service: systemd-analyze verify passes"
[ ! -e /etc/systemd/system/timers.target.wants/lumra-refresh@.timer ] ||
  fail "the package enabled the refresh timer"
grep -qx /usr/share/bash-completion/completions/lumra "$installed" || fail "no bash completion installed"

# Removed: nothing it installed is left (the directories it shared with
# others aside); the cache stays until the purge.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq lumra >/dev/null
while read -r f; do
  if [ "$f" != /. ] && [ -e "$f" ] && ! grep -qxF "$f" "$existed"; then fail "left after removal: $f"; fi
done <"$installed"
[ "$(dpkg-query -W -f='${db:Status-Status}' lumra)" = config-files ] ||
  fail "after removal lumra is $(dpkg-query -W -f='${db:Status-Status}' lumra), expected config-files"
[ -f /var/cache/lumra/lumra ] || fail "the removal took the cache file, which only the purge takes"

# Purged: the cache file and its directory are gone.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq lumra >/dev/null
[ ! -e /var/cache/lumra ] || fail "left after the purge: $(find /var/cache/lumra | tr '\n' ' ')"
if dpkg-query -W -f='${db:Status-Status}' lumra 2>/dev/null | grep -qv not-installed; then
  fail "dpkg still knows lumra after the purge"
fi
[ $failed -eq 0 ] && echo "  installed, run, removed and purged"
exit $failed
