#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the VM's initramfs: busybox, the kernel modules for virtual radios,
# hostapd, wpa_supplicant, iw, wireless-tools and lumra, each with the shared
# libraries that ldd names.
#   mkinitramfs.sh KERNEL_VERSION LUMRA_BINARY OUTPUT.cpio.gz [RECORDER]
# LUMRA_VM_HEAP=1 adds valgrind's massif tool.
set -euo pipefail
kver=$1 lumra=$2 out=$3 recorder=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d "$(dirname "$out")/rootfs.XXXXXX")
# mktemp makes it 0700, which would become the guest's / and keep the runs as
# an unprivileged user out of every file.
chmod 755 "$root"
trap 'rm -rf "$root"' EXIT

mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,tmp,run,out,lib/modules,var/cache/lumra,var/run}

# Programs and the libraries they load. lumra needs only libc, libiw and libmnl.
copy_with_libs() {
  local bin=$1 dest=$2 lib
  cp "$bin" "$root$dest"
  for lib in $(ldd "$bin" 2>/dev/null | awk '/=>/ { print $3 } !/=>/ && $1 ~ /^\// { print $1 }'); do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root${lib%/*}"
    cp -L "$lib" "$root$lib"
  done
}
# busybox (the static build) provides the shell and every small tool.
copy_with_libs /bin/busybox /bin/busybox
for applet in $("$root/bin/busybox" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
for prog in /usr/sbin/hostapd /usr/sbin/hostapd_cli /usr/sbin/wpa_supplicant /usr/sbin/wpa_cli \
    /usr/sbin/iw /usr/sbin/iwconfig /usr/sbin/iwlist /usr/bin/setpriv; do
  copy_with_libs "$prog" "/sbin/${prog##*/}"
done
copy_with_libs "$lumra" /bin/lumra
[ -n "$recorder" ] && copy_with_libs "$recorder" /bin/lumra-record
if [ "${LUMRA_VM_HEAP:-0}" = 1 ]; then
  copy_with_libs /usr/bin/valgrind.bin /bin/valgrind
  mkdir -p "$root/usr/libexec/valgrind"
  for f in massif-amd64-linux vgpreload_core-amd64-linux.so vgpreload_massif-amd64-linux.so default.supp; do
    cp "/usr/libexec/valgrind/$f" "$root/usr/libexec/valgrind/"
  done
fi

# Modules in load order, dependencies first. The crypto ones are what WPA2
# (CCMP, BIP) asks for; mac80211 requests them at key installation. dummy
# gives an interface without wireless extensions (dummy0).
mods=(virtio_pci virtio_blk mac80211_hwsim ccm ctr cmac gcm ghash_generic seqiv ecb michael_mic
  dummy)
: >"$root/etc/modules"
for m in "${mods[@]}"; do
  modprobe -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
  cp "$ko" "$root/lib/modules/"
  echo "${ko##*/}" >>"$root/etc/modules"
done

cp "$here"/guest/init "$root/init"
cp "$here"/guest/*.conf "$root/etc/"
chmod 755 "$root/init"

(cd "$root" && find . | LC_ALL=C sort | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$out"
