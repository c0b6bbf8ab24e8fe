#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots a Linux kernel in QEMU with virtual Wi-Fi radios (mac80211_hwsim),
# access points (hostapd) and an associated station (wpa_supplicant), runs
# the built lumra there and checks or shows what it printed.
#   tests/vm/run.sh [suite|demo]
# suite (default): every scenario, checked byte for byte on the host.
# demo: a refresh run, an encoded run and a cached run, shown as they print.
# Everything the VM needs and leaves goes to build/vm/. The VM has no network
# device; only the virtual radios talk, among themselves.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/lib.sh
. "$here/../../scripts/lib.sh"
mode=${1:-suite}
case $mode in suite | demo) ;; *) echo "usage: $0 [suite|demo]" >&2; exit 2 ;; esac

total_start=$SECONDS
need_base
need_pkgs qemu-system-x86 linux-image-amd64 hostapd wpasupplicant busybox-static \
  iw wireless-tools kmod python3 util-linux
[ "${LUMRA_VM_HEAP:-0}" != 1 ] || need_pkgs valgrind

# The newest installed kernel that has the virtual-radio driver.
kver=""
for k in $(printf '%s\n' /boot/vmlinuz-* | sed 's|.*/vmlinuz-||' | sort -V); do
  [ -e "/lib/modules/$k/kernel/drivers/net/wireless/mac80211_hwsim.ko" ] && kver=$k
done
[ -n "$kver" ] || { echo "no kernel with mac80211_hwsim installed" >&2; exit 1; }

# LUMRA_VM_BINARY names a lumra built elsewhere (with the default cache
# path) to run instead of this tree's Release build.
# LUMRA_VM_HEAP=1 also measures the peak heap of a refresh run with each
# backend under valgrind's massif tool (checked by check.py).
# LUMRA_VM_RECORD=1 also records the NL80211 backend's netlink traffic of a
# refresh and a cached run into build/vm/out/record/ (the unit tests'
# fixtures come from there).
lumra=${LUMRA_VM_BINARY:-}
recorder=""
B=$LUMRA_ROOT/build/vm-release
if [ -z "$lumra" ] || [ "${LUMRA_VM_RECORD:-0}" = 1 ]; then
  configure_build "$B" -DCMAKE_BUILD_TYPE=Release -DLUMRA_TESTS=OFF \
    -DLUMRA_RECORDER="$([ "${LUMRA_VM_RECORD:-0}" = 1 ] && echo ON || echo OFF)" \
    -DLUMRA_CACHE_PATH=/var/cache/lumra/lumra >/dev/null
  lumra=${LUMRA_VM_BINARY:-$B/lumra}
  [ "${LUMRA_VM_RECORD:-0}" = 1 ] && recorder=$B/lumra-record
fi

W=$LUMRA_ROOT/build/vm
mkdir -p "$W"
bash "$here/mkinitramfs.sh" "$kver" "$lumra" "$W/initramfs.cpio.gz" ${recorder:+"$recorder"}
rm -rf "$W/out" "$W/out.img"
mkdir -p "$W/out"
truncate -s 16M "$W/out.img"

# KVM hangs at boot on some hosts, so TCG is the default; LUMRA_VM_ACCEL=kvm
# asks for KVM.
accel=(-accel tcg -cpu max)
[ "${LUMRA_VM_ACCEL:-tcg}" = kvm ] && accel=(-enable-kvm -cpu host)

echo "booting $kver in QEMU (${accel[1]}), mode $mode"
boot_start=$(date +%s.%N)
status=0
timeout "${LUMRA_VM_TIMEOUT:-2400}" qemu-system-x86_64 "${accel[@]}" -m 512 -smp 1 \
  -nographic -no-reboot -nic none -monitor none \
  -kernel "/boot/vmlinuz-$kver" -initrd "$W/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet panic=-1 lumra.mode=$mode lumra.record=${LUMRA_VM_RECORD:-0} lumra.heap=${LUMRA_VM_HEAP:-0}" \
  -drive "file=$W/out.img,format=raw,if=virtio" </dev/null >"$W/console.log" 2>&1 || status=$?
vm_seconds=$(awk -v a="$boot_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

if [ $status -ne 0 ] || ! tar -xf "$W/out.img" -C "$W/out" 2>/dev/null || [ ! -e "$W/out/guest.log" ]; then
  echo "FAIL boot"
  echo "    the VM gave no results (qemu status $status); the end of its console:"
  sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/^/    /' "$W/console.log" | tail -n 40
  echo "0 passed, 1 failed"
  exit 1
fi

# Boot time: the VM's whole run less the time the guest's first process ran
# by the guest's own clock (firmware, kernel start-up and power-off).
init=$(sed -n 's/^\[\([0-9.]*\)\] init started.*/\1/p' "$W/out/guest.log")
finished=$(sed -n 's/^\[\([0-9.]*\)\] done$/\1/p' "$W/out/guest.log")
aps=$(sed -n 's/^\[\([0-9.]*\)\] access points visible.*/\1/p' "$W/out/guest.log")
boot=$(awk -v v="$vm_seconds" -v i="${init:-0}" -v d="${finished:-0}" 'BEGIN { printf "%.1f", v - (d - i) }')

if [ "$mode" = demo ]; then
  bash "$here/demo.sh" "$W/out" "$kver"
  exit
fi

echo "vm: boot ${boot} s (kernel up ${init:-?} s, access points seen ${aps:-?} s by the guest's clock);" \
  "the VM ran ${vm_seconds} s; the suite so far $((SECONDS - total_start)) s"
exec python3 "$here/check.py" "$W/out"
