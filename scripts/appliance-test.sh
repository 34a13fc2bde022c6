#!/usr/bin/env bash
# What the appliance gets: builds everything for AArch64 with Debian's cross
# compiler (warnings as errors) and runs the unit tests under qemu-aarch64; builds the Debian packages for amd64 and arm64
# and checks their files; checks that `cmake --install` writes only under
# its prefix or DESTDIR and that the units start the programs it installed.
#
# As root it installs, when missing: the arm64 architecture in dpkg,
# g++-aarch64-linux-gnu, libssl-dev:arm64, libgtest-dev:arm64,
# libstdc++6:arm64, qemu-user, dpkg-dev and systemd (for systemd-analyze).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
scripts/install-deps.sh --foreign-arch arm64 g++-aarch64-linux-gnu libssl-dev:arm64 \
  libgtest-dev:arm64 libstdc++6:arm64 qemu-user dpkg-dev systemd lintian

cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DVESK_WERROR=ON >/dev/null
quietly cmake --build build/aarch64 -j"$(nproc)"
ctest --test-dir build/aarch64 -j"$(nproc)" -L unit --output-on-failure

cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF -DVESK_WERROR=ON >/dev/null
quietly cmake --build build/package -j"$(nproc)"
layout=$(printf '%s\n' opt/vesk/keywarden usr/bin/vaultcheck usr/sbin/vaultd usr/lib/tmpfiles.d/vesk.conf \
  usr/lib/systemd/system/{vaultd.service,vaultcheck.service,vaultcheck.timer} usr/share/man/man8/{keywarden,vaultd,vaultcheck}.8.gz \
  usr/share/doc/vesk/{copyright,changelog.gz} usr/share/lintian/overrides/vesk)
stage=$(mktemp -d)
trap 'chattr -R -i "$stage" 2>/dev/null; rm -rf "$stage"' EXIT
for build in build/package build/aarch64; do
  rm -f "$build"/vesk_*.deb
  (cd "$build" && quietly cpack -G DEB)
  dpkg-deb -x "$build"/vesk_*.deb "$stage/${build#build/}"
done
# Debian's checker: no error, no warning without a reasoned override, and
# the programs hardened (its hardening tags are informational).
for deb in build/{package,aarch64}/vesk_*.deb; do lintian -I "$deb" 2>/dev/null | (! grep -E '^[EW]: |hardening-no-'); done
cmake --install build/package --prefix "$stage/prefix" >/dev/null
DESTDIR="$stage/destdir" cmake --install build/package --prefix /usr/local >/dev/null
DESTDIR="$stage/default" cmake --install build/package >/dev/null
diff <(for root in package aarch64 prefix destdir/usr/local default; do sed "s#^#$root/#" <<<"$layout"; done | sort) \
  <(cd "$stage" && find . ! -type d | sed 's#^\./##' | sort)
# The units under root $1 name vaultd and vaultcheck under $2, run
# vaultcheck a minute after boot and every 5 minutes with warn and fail as
# success, and pass systemd-analyze verify. verify wants executable files there, so the
# programs under $1 are shown at /usr/sbin and /usr/bin, and verify writes to
# /run: both only in a private mount namespace, so the host stays untouched.
check_units() {
  unshare --mount --propagation private sh -c 'mount -t tmpfs vesk /run && for dir in sbin bin; do
    mount -t overlay -o lowerdir="$1/usr/$dir:/usr/$dir" vesk /usr/$dir; done &&
    MANPATH="$1/usr/share/man" systemd-analyze verify "$1"/usr/lib/systemd/system/*' sh "$1" 2>&1 | (! grep .)
  diff <(printf '%s\n' "ExecStart=$2/usr/bin/vaultcheck --prometheus --output /var/lib/prometheus/node-exporter/vesk.prom" \
    "SuccessExitStatus=1 2" OnBootSec=1min OnUnitActiveSec=5min "ExecStart=$2/usr/sbin/vaultd") \
    <(cat "$1"/usr/lib/systemd/system/* | grep -E '^(ExecStart|SuccessExitStatus|OnBootSec|OnUnitActiveSec)=')
}
for root in package aarch64 default; do check_units "$stage/$root" ""; done
check_units "$stage/prefix" "$stage/prefix"
grep -qx "ExecStart=/usr/local/usr/sbin/vaultd" "$stage/destdir/usr/local/usr/lib/systemd/system/vaultd.service"
# The exposure scores may not rise above 0.7 (the threshold counts tenths).
systemd-analyze security --offline=true --threshold=7 packaging/{vaultd,vaultcheck}.service | grep Overall
# It depends on the programs the console runs. (The package installed,
# upgraded on a sealed device and purged, under systemd: boot-test.sh.)
dpkg-deb -f build/package/vesk_*.deb Depends | grep -q '^sudo, e2fsprogs, nano, openssl, '
