#!/usr/bin/env bash
# Builds the Debian packages of the appliance for amd64 and arm64 with CPack
# and checks them:
#
#   1. installs what the packaging needs when it is missing (root then);
#   2. builds both packages (build/package-amd64, build/package-arm64);
#   3. checks each: control fields, the exact list of files with owners and
#      modes, the maintainer scripts, the programs' architecture, the unit,
#      the man pages;
#   4. installs the amd64 package into a throw-away root with dpkg -x and
#      checks the layout: keywarden runs from /opt/vesk, the unit parses and
#      keeps its exposure score, and vaultd serves under the unit's
#      confinement as far as it can be reproduced without systemd.
#
# Exits non-zero at the first failed check.
set -euo pipefail
cd "$(dirname "$0")/.."

# The exposure score of packaging/vaultd.service, times ten, that
# `systemd-analyze security` must not exceed (README: "On the appliance").
readonly exposure_limit=7
started=$SECONDS

step() { printf '\n== %s (%ds)\n' "$*" "$((SECONDS - started))"; }
fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}

# --- 1. packages ------------------------------------------------------------

packaging_packages=(
  # the arm64 package: the cross compiler, and the arm64 libraries that
  # dpkg-shlibdeps reads to compute the package's Depends
  g++-aarch64-linux-gnu libssl-dev:arm64 libstdc++6:arm64
  dpkg-dev binutils
  systemd     # systemd-analyze
  init-system-helpers  # deb-systemd-helper, for the maintainer scripts
  groff-base  # checks the man pages
  socat strace util-linux
)

step "packages"
scripts/install-deps.sh
scripts/install-deps.sh --foreign-arch arm64 "${packaging_packages[@]}"

# --- 2. build both packages -------------------------------------------------

# build_package <build dir> [cmake options...]: prints the path of the .deb
build_package() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF "$@" >&2
  cmake --build "$dir" -j"$(nproc)" >&2
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack -G DEB >&2)
  local debs=("$dir"/*.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb in $dir"
  echo "${debs[0]}"
}

step "amd64 package"
amd64_deb=$(build_package build/package-amd64)
step "arm64 package"
arm64_deb=$(build_package build/package-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake)

# --- 3. contents --------------------------------------------------------------

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

version=$(sed -n 's/^project(vesk .*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

expected_files="-rw-r--r-- root/root ./usr/lib/systemd/system/vaultd.service
-rw-r--r-- root/root ./usr/share/man/man8/keywarden.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/vaultd.8.gz
-rwxr-xr-x root/root ./opt/vesk/keywarden
-rwxr-xr-x root/root ./usr/sbin/vaultd"

# check_package <deb> <Debian architecture> <ELF machine as readelf names it>
check_package() {
  local deb=$1 arch=$2 machine=$3 field script program page
  echo "$deb"
  [ "$(basename "$deb")" = "vesk_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"
  for field in Package:vesk Version:"$version" Architecture:"$arch" Section:admin; do
    [ "$(dpkg-deb -f "$deb" "${field%%:*}")" = "${field#*:}" ] ||
      fail "$deb: ${field%%:*} is '$(dpkg-deb -f "$deb" "${field%%:*}")', not '${field#*:}'"
  done
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for field in libc6 libssl3 libstdc++6; do
    tr ',' '\n' <<<"$depends" | sed -e 's/^ *//' -e 's/ .*//' | grep -qxF "$field" ||
      fail "$deb: Depends lacks $field: $depends"
  done

  # Every file, with owner and mode; directories aside.
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort >"$work/files"
  diff -u <(echo "$expected_files") "$work/files" || fail "$deb: files differ from the expected layout"

  rm -rf "$work/control" "$work/root-$arch"
  dpkg-deb -e "$deb" "$work/control"
  for script in postinst prerm postrm; do
    [ "$(stat -c %a "$work/control/$script")" = 755 ] || fail "$deb: $script is not mode 755"
    sh -n "$work/control/$script" || fail "$deb: $script does not parse"
    grep -q 'vaultd.service' "$work/control/$script" || fail "$deb: $script does not handle vaultd.service"
  done

  dpkg -x "$deb" "$work/root-$arch"
  for program in opt/vesk/keywarden usr/sbin/vaultd; do
    readelf -h "$work/root-$arch/$program" | grep -q "Machine: *$machine" || fail "$deb: $program is not $machine"
    if readelf -S "$work/root-$arch/$program" | grep -q '\.symtab'; then fail "$deb: $program is not stripped"; fi
  done
  cmp -s "$work/root-$arch/usr/lib/systemd/system/vaultd.service" packaging/vaultd.service ||
    fail "$deb: the unit differs from packaging/vaultd.service"
  for page in keywarden vaultd; do
    zcat "$work/root-$arch/usr/share/man/man8/$page.8.gz" >"$work/$page.8"
    groff -man -ww -z "$work/$page.8" 2>"$work/groff.err" || fail "$page.8 does not format"
    [ ! -s "$work/groff.err" ] || fail "$page.8: $(cat "$work/groff.err")"
    for section in NAME SYNOPSIS DESCRIPTION FILES DIAGNOSTICS 'EXIT STATUS'; do
      grep -q "^\.SH \"\?$section\"\?$" "$work/$page.8" || fail "$page.8 has no section $section"
    done
  done
  echo "  $arch: fields, 5 files with owners and modes, maintainer scripts, $machine programs (stripped), unit, man pages"
}

step "contents of the packages"
check_package "$amd64_deb" amd64 'Advanced Micro Devices X86-64'
check_package "$arm64_deb" arm64 AArch64

# --- 4. the amd64 package in a throw-away root --------------------------------

root=$work/root-amd64

step "keywarden from the installation directory of the throw-away root"
printf '[PASSES]\nadmin_pass = "plain"\n' >"$root/opt/vesk/installation.toml"
printf '#!/bin/sh\n' >"$root/opt/vesk/tarvemill_run"
status=0
(cd "$root/opt/vesk" && printf 'q\n' | timeout 30 ./keywarden) >"$work/keywarden.out" || status=$?
[ "$status" -eq 0 ] || fail "keywarden exited with status $status"
grep -q 'VESK TARVEMILL - ADMIN v3.3 .*\[OPEN\]' "$work/keywarden.out" ||
  fail "keywarden did not show the open installation: $(cat "$work/keywarden.out")"
[ "$(grep -c 'Selection: ' "$work/keywarden.out")" -eq 1 ] || fail "keywarden did not leave on q"
echo "keywarden showed [OPEN] for /opt/vesk/installation.toml and exited 0 on q"

step "the unit: systemd-analyze verify and security"
# The unit as installed, pointing at the throw-away root's vaultd, so that
# verify can check the program and (through MANPATH) the man page exist.
sed "s|^ExecStart=/usr/sbin/vaultd$|ExecStart=$root/usr/sbin/vaultd|" \
  "$root/usr/lib/systemd/system/vaultd.service" >"$work/vaultd.service"
grep -q "^ExecStart=$root/usr/sbin/vaultd$" "$work/vaultd.service" || fail "the unit has no ExecStart line"
# verify exits 0 on unknown settings and only reports them, so any output
# is a failure.
MANPATH=$root/usr/share/man systemd-analyze verify "$work/vaultd.service" >"$work/verify" 2>&1 ||
  fail "systemd-analyze verify: $(cat "$work/verify")"
[ ! -s "$work/verify" ] || fail "systemd-analyze verify: $(cat "$work/verify")"
for setting in 'Restart=on-failure' 'WantedBy=multi-user.target' 'ProtectSystem=strict' \
  'ReadWritePaths=/run' 'NoNewPrivileges=yes' 'RestrictAddressFamilies=AF_UNIX' 'Group=1000'; do
  grep -qx "$setting" "$work/vaultd.service" || fail "the unit lacks $setting"
done
systemd-analyze security --offline=true --threshold="$exposure_limit" packaging/vaultd.service >"$work/security" ||
  fail "exposure above $exposure_limit/10: $(grep -E '✗|Overall' "$work/security")"
grep 'Overall exposure level' "$work/security"

step "vaultd under the unit's confinement, reproduced without systemd"
# Reproduced: a read-only root file system with a fresh writable /run
# (ProtectSystem=strict, ReadWritePaths=/run), no network but its own
# (PrivateNetwork), root without any capability (CapabilityBoundingSet=),
# no new privileges, group 1000 (Group=1000), umask 077. The system-call
# filter cannot be applied without systemd; instead every system call the
# daemon makes while serving is checked against the filter's list, and its
# memory maps against MemoryDenyWriteExecute.
confined_vaultd() {
  local vaultd=$1 out=$2 pid daemon_pid
  mount -t tmpfs -o mode=755 tmpfs /run
  mount --bind "$out" "$out"
  mount -o remount,bind,ro /
  if touch /etc/.vesk-probe 2>/dev/null; then
    rm -f /etc/.vesk-probe
    echo "rw" >"$out/root-fs"
  else
    echo "ro" >"$out/root-fs"
  fi
  umask 077
  unshare --net -- setpriv --reuid=0 --regid=1000 --clear-groups --no-new-privs \
    --bounding-set=-all --inh-caps=-all \
    strace -f -qq -o "$out/strace" "$vaultd" >"$out/stdout" 2>"$out/stderr" &
  pid=$!  # strace, which ends with the daemon's exit status
  trap 'pkill -KILL -P "$pid" 2>/dev/null; kill "$pid" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    [ -s "$out/stdout" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  daemon_pid=$(pgrep -P "$pid" -x vaultd || echo none)
  grep -h '^Cap\(Eff\|Prm\|Bnd\)' /proc/"$daemon_pid"/status >"$out/caps" 2>/dev/null || true
  stat -c '%a %u %g' /var/run/vesk_sec.sock >"$out/socket" 2>&1 || true
  # ask <uid> <gid> <name> <request>: the reply, or "refused" when the
  # client cannot connect at all
  ask() {
    if ! printf '%s' "$4" | setpriv --reuid="$1" --regid="$2" --clear-groups \
      timeout 10 socat -t 5 - UNIX-CONNECT:/var/run/vesk_sec.sock >"$out/$3" 2>"$out/$3.err"; then
      grep -q 'Permission denied' "$out/$3.err" && echo refused >"$out/$3"
    fi
  }
  ask 0 0 root 'PING:'
  ask 1000 1000 user1000 'PING:'
  ask 1001 1000 user1001 'PING:'
  ask 1000 1001 user1000-other-group 'PING:'
  ask 1000 1000 unvault "UNVAULT:$(cat "$out/blob")"
  ask 1000 1000 garbage 'UNVAULT:v2:bm90IGEgYmxvYiBhdCBhbGwsIGp1c3QgdGV4dA=='
  kill -TERM "$daemon_pid"
  local status=0
  wait "$pid" || status=$?
  echo "$status" >"$out/status"
  trap - EXIT
}

mkdir "$work/confined"
# A tier-1 blob of a known value, made with the openssl command line: AES-256-CBC
# under SHA-256 of the programs' base key, IV first, URL-safe Base64.
key=$(printf 'ZEPHYR_KEY' | openssl dgst -sha256 -binary | od -An -tx1 -v | tr -d ' \n')
iv=000102030405060708090a0b0c0d0e0f
{
  printf '%s' "$iv" | sed 's/../\\x&/g' | xargs -0 printf '%b'
  printf 'confined-pass' | openssl enc -aes-256-cbc -K "$key" -iv "$iv"
} | base64 -w0 | tr '+/' '-_' | sed 's/^/v1:/' >"$work/confined/blob"

unshare --mount --propagation private -- bash -c "$(declare -f confined_vaultd); confined_vaultd \"\$@\"" \
  _ "$root/usr/sbin/vaultd" "$work/confined"
c=$work/confined
[ "$(cat "$c/root-fs")" = ro ] || fail "the root file system was not read-only for the check"
[ "$(cat "$c/stdout")" = "[+] VESK Security Daemon Listening on /var/run/vesk_sec.sock" ] ||
  fail "vaultd did not start: '$(cat "$c/stdout")' '$(cat "$c/stderr")'"
[ "$(grep -c ':[[:space:]]*0000000000000000$' "$c/caps")" -eq 3 ] || fail "vaultd kept capabilities: $(cat "$c/caps")"
[ "$(cat "$c/socket")" = "660 0 1000" ] || fail "socket mode and owner: $(cat "$c/socket")"
[ "$(cat "$c/root")" = PONG ] || fail "uid 0 got '$(cat "$c/root")'"
[ "$(cat "$c/user1000")" = PONG ] || fail "uid 1000 got '$(cat "$c/user1000")'"
[ "$(cat "$c/unvault")" = confined-pass ] || fail "uid 1000's UNVAULT got '$(cat "$c/unvault")'"
[ "$(cat "$c/garbage")" = "ERR:DECRYPT_FAIL" ] || [ "$(cat "$c/garbage")" = "ERR_DECODE_FAIL" ] ||
  fail "a bad blob got '$(cat "$c/garbage")'"
[ ! -s "$c/user1001" ] || fail "uid 1001 in group 1000 got a reply: '$(cat "$c/user1001")'"
[ "$(cat "$c/user1000-other-group")" = refused ] ||
  fail "uid 1000 outside group 1000 was not refused by the socket's mode: '$(cat "$c/user1000-other-group")'"
[ "$(cat "$c/status")" = 0 ] || fail "vaultd's exit status after SIGTERM: $(cat "$c/status")"
echo "read-only root, no capabilities, own network namespace: socket 660 root:1000; uid 0 and 1000 served," \
  "uid 1001 answered with nothing, uid 1000 without group 1000 refused; exit 0 on SIGTERM"

# The system calls the daemon made (from its execve on), against the unit's
# SystemCallFilter= lines: the allow-list ones, less the "~" ones.
filter_names() {
  local name
  for name in "$@"; do
    if [[ $name == @* ]]; then
      systemd-analyze syscall-filter "$name" | tail -n +2 | sed -e 's/^ *//' -e '/^#/d' -e '/^$/d' |
        while read -r member; do filter_names "$member"; done
    else
      echo "$name"
    fi
  done
}
read -ra allow_list <<<"$(sed -n 's/^SystemCallFilter=\([^~].*\)/\1/p' packaging/vaultd.service | tr '\n' ' ')"
read -ra deny_list <<<"$(sed -n 's/^SystemCallFilter=~\(.*\)/\1/p' packaging/vaultd.service | tr '\n' ' ')"
[ ${#allow_list[@]} -gt 0 ] || fail "the unit has no allow-list SystemCallFilter="
comm -23 <(filter_names "${allow_list[@]}" | sort -u) <(filter_names "${deny_list[@]}" | sort -u) >"$work/allowed"
[ "$(wc -l <"$work/allowed")" -gt 100 ] || fail "could not list the filter's system calls"
sed -n 's/^[0-9]\+ \+\([a-z_0-9]\+\)(.*/\1/p' "$c/strace" | sort -u >"$work/used"
[ "$(wc -l <"$work/used")" -gt 10 ] || fail "strace saw no system calls"
grep -qx accept4 "$work/used" || grep -qx accept "$work/used" || fail "strace did not see the daemon accept"
denied=$(comm -23 "$work/used" "$work/allowed")
[ -z "$denied" ] || fail "system calls outside the unit's filter: $denied"
if grep -E '^[0-9]+ +socket\(' "$c/strace" | grep -v 'socket(AF_UNIX' | grep -q .; then
  fail "a socket outside AF_UNIX: $(grep -E 'socket\(' "$c/strace")"
fi
if grep -E '^[0-9]+ +(mmap|mprotect)\(' "$c/strace" | grep -E 'PROT_WRITE\|PROT_EXEC|PROT_EXEC\|PROT_WRITE' | grep -q .; then
  fail "a writable and executable mapping"
fi
echo "$(wc -l <"$work/used") distinct system calls, all inside the unit's filter; sockets AF_UNIX only; no writable+executable memory"

step "maintainer scripts in the throw-away root (DPKG_ROOT)"
# As dpkg runs them for an installation into another root: the enablement
# is recorded in that root, the running system is not touched.
dpkg-deb -e "$amd64_deb" "$work/control-amd64"
maintainer_script() {
  DPKG_ROOT=$root DPKG_MAINTSCRIPT_PACKAGE=vesk DPKG_MAINTSCRIPT_NAME=$1 sh "$work/control-amd64/$1" "$2"
}
wants=etc/systemd/system/multi-user.target.wants/vaultd.service
host_state() { ls -la /$wants /etc/systemd/system/vaultd.service 2>&1 || true; }
host_before=$(host_state)
maintainer_script postinst configure
[ "$(readlink "$root/$wants")" = /usr/lib/systemd/system/vaultd.service ] ||
  fail "postinst did not enable vaultd.service for multi-user.target"
maintainer_script prerm remove
rm "$root/usr/lib/systemd/system/vaultd.service" # as dpkg does between the two
maintainer_script postrm remove
[ "$(readlink "$root/etc/systemd/system/vaultd.service")" = /dev/null ] || fail "postrm remove did not mask the unit"
maintainer_script postrm purge
[ ! -L "$root/$wants" ] || fail "postrm purge left the unit enabled"
[ ! -L "$root/etc/systemd/system/vaultd.service" ] || fail "postrm purge left the unit masked"
[ "$(host_state)" = "$host_before" ] || fail "the maintainer scripts changed this machine's systemd configuration"
echo "postinst enabled vaultd.service for multi-user.target; postrm masked it on remove and forgot it on purge"

step "package-test passed"
