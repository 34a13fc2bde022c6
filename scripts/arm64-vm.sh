#!/usr/bin/env bash
# Runs SCRIPT on a booted arm64 Debian 12 (qemu-system-aarch64, software
# emulation), the appliance's architecture, with systemd as PID 1 and the
# given .deb files in /vesk: a way to try the package, or one's own
# integration with it, under systemd on arm64 without a device.
#
#   scripts/arm64-vm.sh [--disk IMAGE]... SCRIPT DEB...      as root
#
# SCRIPT runs as root once the system is up (from a unit of
# multi-user.target), as "sh /vesk/guest.sh" with the .debs at
# /vesk/<their names>; no package is installed before it. Whatever it
# writes to /dev/ttyAMA0 is shown here; the machine powers off when it ends,
# and this script exits with its status (1 when it never ended, as when
# SCRIPT cuts the power with "echo b >/proc/sysrq-trigger").
#
# The machine has no network. Each --disk IMAGE, a raw disk image, is a
# virtio disk, changed in place: /dev/vda, /dev/vdb... in the order given
# (or mount LABEL=...), with the modules for virtio disks and ext4 loaded
# before SCRIPT runs. The root is no disk: the kernel is given the whole
# root (debootstrap, minbase, with systemd, socat, kmod and the package's
# dependencies, and those modules from the kernel's own package) as its
# initramfs. The root and the kernel are built once
# and cached in /var/cache/vesk-boot, keyed on those lists (about 3
# minutes here; then about 20 s to boot). Building the root runs debootstrap's
# second stage under a temporary binfmt registration of qemu-aarch64-static,
# removed right after. Installs, when missing: qemu-system-arm,
# qemu-user-static, debootstrap, cpio and kmod. Nothing else outside the cache
# stays: a temp folder holds the rest and goes when the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
disks=()
while [ "${1:-}" = --disk ]; do disks+=(-drive "file=$2,format=raw,if=virtio") && shift 2; done
[ $# -ge 2 ] || { sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2; exit 2; }
guest=$1 && shift
scripts/install-deps.sh qemu-system-arm qemu-user-static debootstrap cpio kmod
packages=systemd-sysv,dbus,socat,libssl3,sudo,e2fsprogs,nano,openssl,util-linux,kmod
modules="virtio_pci virtio_blk ext4"
cache=/var/cache/vesk-boot/$(echo "bookworm arm64 $packages $modules" | sha256sum | cut -c1-12)
work=$(mktemp -d)
binfmt=/proc/sys/fs/binfmt_misc mounted=
trap '[ ! -e $binfmt/vesk-aarch64 ] || echo -1 >$binfmt/vesk-aarch64; [ -z "$mounted" ] || umount $binfmt; rm -rf "$work"' EXIT

if [ ! -f "$cache/root.cpio" ] || [ ! -f "$cache/vmlinuz" ]; then
  echo "arm64-vm: building the arm64 root in $cache (once, about 3 minutes)" >&2
  mkdir -p "$cache" "$work/root" "$work/kernel"
  mirror=$(awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  quietly debootstrap --arch=arm64 --foreign --variant=minbase --include="$packages" bookworm "$work/root" \
    "${mirror:-http://deb.debian.org/debian}"
  [ -e $binfmt/register ] || { mount -t binfmt_misc binfmt_misc $binfmt && mounted=1; }
  printf '%s\n' ':vesk-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-aarch64-static:F' \
    >$binfmt/register
  quietly chroot "$work/root" /debootstrap/debootstrap --second-stage
  chroot "$work/root" sh -c 'useradd -m -u 1000 -U app && useradd -u 1001 -U other'
  echo -1 >$binfmt/vesk-aarch64
  # minbase has no udev: the serial getty would wait 90 s for its device.
  ln -s /dev/null "$work/root/etc/systemd/system/serial-getty@ttyAMA0.service"
  kernel=$(apt-cache depends linux-image-arm64:arm64 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  (cd "$work/kernel" && quietly apt-get download "$kernel" && dpkg-deb -x ./*.deb .)
  # The kernel's own modules for $modules and what they need, into the root.
  version=$(ls "$work/kernel/lib/modules")
  depmod -b "$work/kernel" "$version"
  modprobe -d "$work/kernel" -S "$version" --show-depends -a $modules | awk '{ print $2 }' |
    sed "s|^$work/kernel/||" | (cd "$work/kernel" && cpio -pd --quiet "$work/root")
  cp "$work/kernel/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} "$work/root/lib/modules/$version/"
  depmod -b "$work/root" "$version"
  (cd "$work/root" && find . -xdev | cpio -o -H newc --quiet) >"$cache/root.cpio.new"
  cp "$work"/kernel/boot/vmlinuz-* "$cache/vmlinuz"
  mv "$cache/root.cpio.new" "$cache/root.cpio"
  rm -rf "$work/root"
fi

# The overlay, appended to the cached root (cpio archives join end to end):
# the packages, the script and the unit that loads the modules, runs the
# script, then powers off.
mkdir -p "$work/overlay/vesk" "$work/overlay/etc/systemd/system/multi-user.target.wants"
cp "$@" "$work/overlay/vesk/"
cp "$guest" "$work/overlay/vesk/guest.sh"
cat >"$work/overlay/etc/systemd/system/vesk-guest.service" <<UNIT
[Service]
ExecStart=/bin/sh -c '{ modprobe -a $modules && sh /vesk/guest.sh; } >/dev/ttyAMA0 2>&1; echo "arm64-vm: exit \$\$?" >/dev/ttyAMA0'
ExecStopPost=/bin/systemctl poweroff
UNIT
ln -s ../vesk-guest.service "$work/overlay/etc/systemd/system/multi-user.target.wants/"
(cd "$work/overlay" && find . | cpio -o -H newc --quiet) | cat "$cache/root.cpio" - >"$work/initrd.cpio"
# No network device: without -nic none qemu looks for a ROM it does not ship.
timeout 900 qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on -smp 2 -m 2048 -nographic -no-reboot -nic none \
  -kernel "$cache/vmlinuz" -initrd "$work/initrd.cpio" "${disks[@]}" \
  -append "console=ttyAMA0 rdinit=/lib/systemd/systemd panic=-1 quiet systemd.show_status=0" </dev/null |
  tr -d '\r' | tee "$work/console.log" || true
status=$(sed -n 's/^arm64-vm: exit \([0-9]*\)$/\1/p' "$work/console.log" | tail -1)
exit "${status:-1}"
