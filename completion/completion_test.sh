#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bash completion driven as bash drives it (COMP_WORDS, COMP_CWORD), over
# a scratch /sys and scratch files.
#   completion_test.sh [EMULATOR...] LUMRA: LUMRA's -h lists the options it
#   must offer (run under the emulator where the build is for another
#   machine).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lumra.bash
. "$here/lumra.bash"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sys/class/net/wlan0/wireless" "$work/sys/class/net/wlp2s0" "$work/sys/class/net/eth0" \
  "$work/sys/class/net/wlx-nophy" "$work/sys/devices/phy0" "$work/files"
ln -s ../../../devices/phy0 "$work/sys/class/net/wlp2s0/phy80211"
touch "$work/files/cache" "$work/files/other"
export _LUMRA_SYSFS=$work/sys
failed=0

# complete WORDS...: what the completion offers for the last word, sorted.
complete_words() {
  COMP_WORDS=(lumra "$@")
  COMP_CWORD=$#
  _lumra
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

check() {
  local want=$1 got
  shift
  got=$(complete_words "$@")
  [ "$got" = "$want" ] || { echo "FAIL: lumra $*: got '$got', want '$want'"; failed=1; }
}

check "NL80211 WE" -b ""
check "NL80211" -c -b N
check "NL80211 WE" --backend =
check "WE" --backend = W
check "wlan0 wlp2s0" -i ""
check "wlp2s0" -c --interface wlp
check "$work/files/cache" -f "$work/files/c"
check "--json" --j
check "2.4 5 6" --band ""
check "--last --low-priority" --l
check "" -p ""
check "" -c wlan

# Every option the program's usage lists is offered after "-".
want=$("$@" -h | grep -oE '^ +(-[A-Za-z], )?--[a-z-]+' | tr -d ',' | tr ' ' '\n' | grep . | LC_ALL=C sort |
  tr '\n' ' ' | sed 's/ $//')
[ -n "$want" ] || { echo "FAIL: no option in $* -h"; failed=1; }
check "$want" -

[ $failed -eq 0 ] && echo "completion: all cases pass"
exit $failed
