#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shows what one demonstration boot of the VM ran and what lumra printed.
#   demo.sh RESULTS_DIR KERNEL_VERSION
set -euo pipefail
res=$1 kver=$2
guest=$(cd "$(dirname "$0")" && pwd)/guest

echo
echo "lumra ran in a VM: Linux $kver under QEMU, with virtual radios from"
echo "mac80211_hwsim. On the air were hostapd's access points and an ad-hoc cell"
echo "that iw joined:"
while read -r ifc addr conf; do
  hidden=""
  grep -q '^ignore_broadcast_ssid=1' "$guest/$conf" && hidden="  (hidden)"
  printf '  %-6s %s  "%s"%s\n' "$ifc" "$addr" "$(sed -n 's/^ssid=//p' "$guest/$conf")" "$hidden"
done < <(sort "$res/aps.txt")
if [ -e "$res/setup-error" ]; then
  echo "The VM could not be set up: $(cat "$res/setup-error")" >&2
  exit 1
fi
echo "wpa_supplicant associated the station wlan0:"
sed 's/^/  /' "$res/association" | grep -E 'Connected|SSID|freq|signal|tx bitrate'
echo
echo "Each run's line is shown with a line break added after it (lumra prints none)."
while read -r name; do
  d=$res/runs/$name
  read -r start end <"$d/times"
  args=$(cat "$d/args")
  echo
  echo "\$ lumra ${args% }"
  cat "$d/stdout"
  echo
  [ -s "$d/stderr" ] && sed 's/^/stderr: /' "$d/stderr"
  echo "(exit status $(cat "$d/status"), $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s in the emulated VM)"
done <"$res/runs/order"
echo
echo "The cache file /var/cache/lumra/lumra after the last run:"
cat "$res/runs/$(tail -n 1 "$res/runs/order")/cache.after"
echo
