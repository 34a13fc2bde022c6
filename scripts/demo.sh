#!/usr/bin/env bash
# Shows the vault at work on a simulated appliance: keywarden provisions,
# localizes and seals a sample installation, vaultd hands the passwords back
# to the application's user and to nobody else, the same file is useless on
# another device, and vaultcheck sums up the device's state.
#
#   scripts/demo.sh                the road, step by step (about a minute)
#   scripts/demo.sh --interactive  the keywarden menu on the same device
#
# Needs root on Debian 12. Installs, when missing: cmake, g++, make,
# libssl-dev and socat (the socket client). Everything it mounts lives in a
# private mount namespace, everything it writes in one temp folder that is
# removed at exit; the build goes to build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
repo=$PWD

if [ "${VESK_DEMO_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "The demo needs root: it builds a simulated device in a private mount namespace." >&2
    exit 1
  fi
  scripts/install-deps.sh cmake g++ make libssl-dev socat
  echo "building keywarden, vaultd and vaultcheck into build/demo..."
  quietly cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF
  quietly cmake --build build/demo -j"$(nproc)" --target keywarden vaultd vaultcheck
  exec env VESK_DEMO_INSIDE=1 unshare --mount --propagation private "$0" "$@"
fi

bold=$'\e[1m' plain=$'\e[0m'
step() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$plain"; }
cpu_serial=00000000c0ffee01
sandbox=$(mktemp -d /tmp/vesk-demo.XXXXXX)
daemon_pid=
cleanup() {
  stop_daemon
  while umount /proc/cpuinfo 2>/dev/null; do :; done
  chattr -R -i "$sandbox" 2>/dev/null || true
  rm -rf "$sandbox"
}
trap cleanup EXIT

# The simulated device: a CPU serial, a USB drive at sda, and empty /mnt,
# /opt and /run, all visible to this namespace only.
on_device() {  # on_device <cpu serial>: this namespace's /proc/cpuinfo shows it
  printf 'processor\t: 0\nHardware\t: BCM2835\nSerial\t\t: %s\n' "$1" >"$sandbox/cpuinfo-$1"
  mount --bind "$sandbox/cpuinfo-$1" /proc/cpuinfo
}
on_device "$cpu_serial"
for dir in /sys/block /mnt /opt /run; do mount -t tmpfs -o mode=0755 tmpfs "$dir"; done
mkdir -p /sys/block/sda/device
echo 4C530001 >/sys/block/sda/device/serial

# The installation directory, and a stand-in for sudo (this is root already).
install_dir=$sandbox/install
mkdir -p "$install_dir" "$sandbox/bin"
cp demo/installation.toml build/demo/console/keywarden "$install_dir/"
printf '#!/bin/sh\necho "tarvemill 1.0"\n' >"$install_dir/tarvemill_run"
printf '#!/bin/sh\nexec "$@"\n' >"$sandbox/bin/sudo"
chmod 755 "$install_dir/tarvemill_run" "$sandbox/bin/sudo"
export PATH="$sandbox/bin:/usr/sbin:/usr/bin:/sbin:/bin"
cd "$install_dir"

start_daemon() {  # as root with the application's group (1000), which then owns the socket
  rm -f /var/run/vesk_sec.sock
  setpriv --regid=1000 --clear-groups "$repo/build/demo/daemon/vaultd" >/dev/null &
  daemon_pid=$!
  for _ in $(seq 50); do [ -S /var/run/vesk_sec.sock ] && return; sleep 0.1; done
  echo "vaultd did not start" >&2
  exit 1
}
stop_daemon() {
  [ -z "$daemon_pid" ] || { kill "$daemon_pid" && wait "$daemon_pid" || true; }
  daemon_pid=
}
ask() {  # ask <uid> <request>: vaultd's reply to a client at that user
  printf '%s' "$2" | setpriv --reuid="$1" --regid=1000 --clear-groups \
    socat -t 2 - UNIX-CONNECT:/var/run/vesk_sec.sock 2>/dev/null || true
}
blob_of() { sed -n "s/^$1 = \"\\(v[0-9]:[^\"]*\\)\".*/\\1/p" installation.toml; }
keys=(admin_pass frp_pass smtp_pass1 smtp_pass2 sql_pass)

if [ "${1:-}" = --interactive ]; then
  start_daemon
  echo "${bold}Simulated appliance${plain}: CPU serial $cpu_serial, a USB drive at sda (any PIN is"
  echo "accepted), the installation in $install_dir, vaultd on /var/run/vesk_sec.sock."
  echo "Option 4 runs your editor (nano when installed). Leave with 0 or q."
  if ! command -v nano >/dev/null; then
    printf '#!/bin/sh\nexec "${VISUAL:-${EDITOR:-vi}}" "$@"\n' >"$sandbox/bin/nano"
    chmod 755 "$sandbox/bin/nano"
  fi
  ./keywarden
  exit 0
fi

# Runs keywarden with the selections given and shows what an operator would
# see: the typed selection after each prompt, the menu only the first time
# when $2 is "menu".
keywarden() {
  printf '%s\n' $1 | ./keywarden | awk -v typed="$1" -v menus="${2:-none}" '
    BEGIN { count = split(typed, selection, " ") }
    /VESK TARVEMILL - ADMIN/ { shown++; if (menus != "menu" || shown > 1) { hiding = 1; held = 0 } }
    hiding { if (/^0\. Exit/) hiding = 0; next }
    /^$/ { if (held) print ""; held = 1; next }
    { if (held) print ""; held = 0 }
    /^Selection: / { sub(/^Selection: /, ""); if (++asked <= count) print "Selection: " selection[asked]
                     if ($0 == "") next }
    { print }'
}
show_file() {
  sed 's/^/    /' installation.toml
  echo "  (diff against demo/installation.toml: $(diff "$repo/demo/installation.toml" installation.toml |
    grep -c '^>') lines changed, the password lines; every other line the same)"
}

step "1. Stage 1 (Dev Key): each password becomes a tier-1 blob, readable on any device"
keywarden 1 menu
show_file

step "2. Stage 2 (CPU Bound): tier-2 blobs, whose key also depends on this CPU serial"
keywarden 2
show_file

step "3. Stage 3: sealed - the file read-only, the protected files immutable"
keywarden 3
for file in installation.toml keywarden tarvemill_run; do
  printf '    %-18s %s  %s\n' "$file" "$(stat -c %A "$file")" \
    "$(lsattr "$file" | cut -c5 | sed 's/i/immutable/')"
done

step "4. vaultd ($cpu_serial) hands the passwords back to the application's user (uid 1000)"
start_daemon
for key in "${keys[@]}"; do printf '    %-11s -> %s\n' "$key" "$(ask 1000 "UNVAULT:$(blob_of "$key")")"; done
reply=$(ask 1001 "UNVAULT:$(blob_of admin_pass)")
printf '    uid 1001    -> %s\n' "${reply:-no reply: uid 1001 may not ask}"

step "5. The same file on a device with another CPU serial (00000000c0ffee02)"
stop_daemon
on_device 00000000c0ffee02
start_daemon
refused=()
for key in "${keys[@]}"; do
  reply=$(ask 1000 "UNVAULT:$(blob_of "$key")" | tr -c '[:print:]' '?')
  # Blobs carry no tag: a wrong key passes the padding check 1 time in 256.
  if [ "$reply" = ERR:DECRYPT_FAIL ]; then refused+=("$key"); continue; fi
  printf '    %-11s -> %s bytes of garbage (a wrong key passed the padding check)\n' "$key" "${#reply}"
done
[ ${#refused[@]} -eq 0 ] || printf '    %s -> ERR:DECRYPT_FAIL\n' "$(IFS=,; echo "${refused[*]}" | sed 's/,/, /g')"
stop_daemon
on_device "$cpu_serial"

step "6. vaultcheck: is this device's vault in order?"
start_daemon
status=0
"$repo/build/demo/vaultcheck/vaultcheck" | sed 's/^/    /' || status=$?

step "What you saw"
echo "- keywarden replaced the five passwords by blobs and left every other line alone."
echo "- Stage 2 bound them to this CPU; stage 3 sealed the files against change."
echo "- vaultd gave them back to uid 1000 only, and on another CPU it could not open them."
verdict=("all ok" "warnings" "failures")
echo "- vaultcheck judged the whole state in one command: exit status $status, ${verdict[$status]:-usage error}."
echo "Run 'scripts/demo.sh --interactive' for the menu on this simulated device."
