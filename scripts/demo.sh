#!/usr/bin/env bash
# Shows the vault at work on a simulated appliance: a sample installation is
# provisioned, localized and sealed by keywarden, and vaultd hands the
# passwords back to a client at uid 1000.
#
#   scripts/demo.sh                the guided road, step by step
#   scripts/demo.sh --interactive  the keywarden menu on the same device
#
# Needs root (for a private mount namespace). Everything it mounts lives in
# that namespace, everything it writes in one temp folder, removed at exit.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
mode=${1:-}

if [ "${VESK_DEMO_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "The demo needs root: it builds a simulated device in a private mount namespace." >&2
    exit 1
  fi
  scripts/install-deps.sh
  cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF >/dev/null
  cmake --build build/demo -j"$(nproc)" --target keywarden vaultd >/dev/null
  exec env VESK_DEMO_INSIDE=1 unshare --mount --propagation private "$0" "$@"
fi

bold=$'\e[1m' plain=$'\e[0m'
step() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$plain"; }

cpu_serial=00000000c0ffee01
usb_serial=4C530001
sandbox=$(mktemp -d /tmp/vesk-demo.XXXXXX)
install_dir=$sandbox/install
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  chattr -R -i "$sandbox" 2>/dev/null || true
  rm -rf "$sandbox"
}
trap cleanup EXIT

# The simulated device: its CPU serial, a USB drive at sda, and empty
# /mnt, /opt and /run, all visible to this namespace only.
printf 'processor\t: 0\nHardware\t: BCM2835\nSerial\t\t: %s\nModel\t\t: Appliance\n' \
  "$cpu_serial" > "$sandbox/cpuinfo"
mount --bind "$sandbox/cpuinfo" /proc/cpuinfo
for dir in /sys/block /mnt /opt /run; do mount -t tmpfs -o mode=0755 tmpfs "$dir"; done
mkdir -p /sys/block/sda/device
echo "$usb_serial" > /sys/block/sda/device/serial

# The installation directory, and stand-ins for sudo (this is root
# already) and, in the guided road, for the editor.
mkdir -p "$install_dir" "$sandbox/bin"
cp demo/installation.toml "$install_dir/installation.toml"
cp build/demo/console/keywarden "$install_dir/keywarden"
printf '#!/bin/sh\necho "tarvemill 1.0"\n' > "$install_dir/tarvemill_run"
chmod 755 "$install_dir/tarvemill_run"
printf '#!/bin/sh\nexec "$@"\n' > "$sandbox/bin/sudo"
chmod 755 "$sandbox/bin/sudo"
export PATH="$sandbox/bin:/usr/sbin:/usr/bin:/sbin:/bin"

start_daemon() {
  # Root with the application's group (1000), which then owns the socket.
  setpriv --regid=1000 --clear-groups "$repo/build/demo/daemon/vaultd" &
  daemon_pid=$!
  for _ in $(seq 50); do [ -S /var/run/vesk_sec.sock ] && return; sleep 0.1; done
  echo "vaultd did not start" >&2
  exit 1
}

ask() {  # ask <uid> <request>
  printf '%s' "$2" | setpriv --reuid="$1" --regid=1000 --clear-groups \
    socat -t 2 - UNIX-CONNECT:/var/run/vesk_sec.sock
}

cd "$install_dir"

if [ "$mode" = --interactive ]; then
  start_daemon >/dev/null
  cat <<EOF_HELP
${bold}Simulated appliance${plain}: CPU serial $cpu_serial, USB drive $usb_serial at sda (any PIN
is accepted), installation in $install_dir, vaultd on /var/run/vesk_sec.sock.
Option 4 runs your editor (nano when installed). Leave with 0 or q.
EOF_HELP
  if ! command -v nano >/dev/null; then
    printf '#!/bin/sh\nexec "${VISUAL:-${EDITOR:-vi}}" "$@"\n' > "$sandbox/bin/nano"
    chmod 755 "$sandbox/bin/nano"
  fi
  ./keywarden
  exit 0
fi

step "1. The plain installation file"
cat installation.toml

step "2. keywarden: stage 1 (dev key), stage 2 (CPU bound), stage 3 (seal)"
printf '1\n2\n3\nq\n' | ./keywarden

step "3. The vaulted file"
cat installation.toml

step "4. The seal: read-only configuration, immutable protected files"
ls -l installation.toml keywarden tarvemill_run
lsattr installation.toml keywarden tarvemill_run

step "5. vaultd serves the passwords to a client at uid 1000"
start_daemon
for key in admin_pass frp_pass smtp_pass1 smtp_pass2 sql_pass; do
  blob=$(sed -n "s/^$key = \"\\([^\"]*\\)\".*/\\1/p" installation.toml)
  printf '  %-11s -> %s\n' "$key" "$(ask 1000 "UNVAULT:$blob")"
done
printf '  PING        -> %s\n' "$(ask 1000 PING:)"
blob=$(sed -n 's/^admin_pass = "\([^"]*\)".*/\1/p' installation.toml)
printf '  uid 1001 asking for admin_pass -> "%s" (refused)\n' "$(ask 1001 "UNVAULT:$blob")"

step "Done"
echo "Run 'scripts/demo.sh --interactive' for the menu on this simulated device."
