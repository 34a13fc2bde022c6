#!/usr/bin/env bash
# What the appliance gets: builds everything for AArch64 with Debian's cross
# compiler (warnings as errors) and runs the unit tests under qemu-aarch64; builds the Debian packages for amd64 and arm64
# and checks their files; checks that `cmake --install` writes only under
# its prefix or DESTDIR and that the unit starts the vaultd it installed.
#
# As root it installs, when missing: the arm64 architecture in dpkg,
# g++-aarch64-linux-gnu, libssl-dev:arm64, libgtest-dev:arm64,
# libstdc++6:arm64, qemu-user, dpkg-dev and systemd (for systemd-analyze).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
scripts/install-deps.sh --foreign-arch arm64 g++-aarch64-linux-gnu libssl-dev:arm64 \
  libgtest-dev:arm64 libstdc++6:arm64 qemu-user dpkg-dev systemd

cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DVESK_WERROR=ON >/dev/null
quietly cmake --build build/aarch64 -j"$(nproc)"
ctest --test-dir build/aarch64 -j"$(nproc)" -L unit --output-on-failure

cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF -DVESK_WERROR=ON >/dev/null
quietly cmake --build build/package -j"$(nproc)"
layout='opt/vesk/keywarden
usr/bin/vaultcheck
usr/lib/systemd/system/vaultd.service
usr/sbin/vaultd
usr/share/man/man8/keywarden.8.gz
usr/share/man/man8/vaultcheck.8.gz
usr/share/man/man8/vaultd.8.gz'
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for build in build/package build/aarch64; do
  rm -f "$build"/vesk_*.deb
  (cd "$build" && quietly cpack -G DEB)
  dpkg-deb -x "$build"/vesk_*.deb "$stage/${build#build/}"
done
cmake --install build/package --prefix "$stage/prefix" >/dev/null
DESTDIR="$stage/destdir" cmake --install build/package --prefix /usr/local >/dev/null
DESTDIR="$stage/default" cmake --install build/package >/dev/null
diff <(for root in package aarch64 prefix destdir/usr/local default; do sed "s#^#$root/#" <<<"$layout"; done | sort) \
  <(cd "$stage" && find . ! -type d | sed 's#^\./##' | sort)
# The unit under root $1 names vaultd as $2 and passes systemd-analyze verify.
# verify wants an executable file there, so the vaultd under $1 is shown at
# /usr/sbin/vaultd, and verify writes to /run: both only in a private mount
# namespace, so the host stays untouched.
check_unit() {
  unshare --mount --propagation private sh -c 'mount -t tmpfs vesk /run &&
    mount -t overlay -o lowerdir="$1/usr/sbin:/usr/sbin" vesk /usr/sbin &&
    MANPATH="$1/usr/share/man" systemd-analyze verify "$1/usr/lib/systemd/system/vaultd.service"' sh "$1" 2>&1 | (! grep .)
  diff <(echo "ExecStart=$2") <(grep ^ExecStart= "$1/usr/lib/systemd/system/vaultd.service")
}
for root in package aarch64 default; do check_unit "$stage/$root" /usr/sbin/vaultd; done
check_unit "$stage/prefix" "$stage/prefix/usr/sbin/vaultd"
grep -qx "ExecStart=/usr/local/usr/sbin/vaultd" "$stage/destdir/usr/local/usr/lib/systemd/system/vaultd.service"
# postinst on a machine that systemd runs, where vaultd does not start: the
# install goes on and says so (systemctl and deb-systemd-helper stand-ins).
mkdir "$stage/bin" && printf '#!/bin/sh
[ "$1" != restart ]
' >"$stage/bin/systemctl" && chmod +x "$stage/bin/systemctl"
ln -s /bin/true "$stage/bin/deb-systemd-helper"
diff <(echo "vesk: warning: vaultd did not start; see why with: systemctl status vaultd") <(unshare --mount --propagation \
  private sh -c 'mount -t tmpfs vesk /run && mkdir -p /run/systemd/system && PATH="$0:$PATH" "$1" configure 2>&1' \
  "$stage/bin" packaging/debian/postinst)
echo "both .debs and cmake --install: the layout above; each unit verified; postinst warns if vaultd does not start"
# The exposure score may not rise above 0.7 (the threshold counts tenths).
systemd-analyze security --offline=true --threshold=7 packaging/vaultd.service | tail -n 1
