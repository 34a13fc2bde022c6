#!/usr/bin/env bash
# The arm64 package on a booted arm64 Debian under systemd, through
# scripts/arm64-vm.sh (scripts/appliance-test.sh builds the package): the
# checks of the guest script below print "VESK ok NAME" or "VESK fail NAME:
# why" each; the report vaultcheck's unit wrote goes through the host's
# promtool. Fails on any miss, and says why when the machine cannot run it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
scripts/install-deps.sh prometheus
deb=$(echo build/aarch64/vesk_*_arm64.deb)
[ -f "$deb" ] || { echo "boot-test: no $deb: scripts/appliance-test.sh builds it" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The same build with a higher version, to upgrade to.
(cd build/aarch64 && quietly cpack -G DEB -D CPACK_PACKAGE_VERSION=99.0.0 -B "$work/next")
cp "$deb" "$work/vesk.deb" && cp "$work"/next/vesk_99.0.0_arm64.deb "$work/next.deb"
sed -n '/^# --- guest script ---$/,$p' "$0" >"$work/guest.sh"
scripts/arm64-vm.sh "$work/guest.sh" "$work/vesk.deb" "$work/next.deb" >"$work/console" || true
grep '^VESK ' "$work/console" || { tail -40 "$work/console"; exit 1; }
sed -n '/^VESK report begin$/,/^VESK report end$/p' "$work/console" | sed '1d;$d' | promtool check metrics
! grep -q '^VESK fail' "$work/console" && grep -qx 'VESK done: 16 checks' "$work/console"
exit

# --- guest script ---
checks=0
check() { # NAME COMMAND...: one result line
  checks=$((checks + 1)) name=$1 && shift
  if "$@" >/tmp/out 2>&1; then echo "VESK ok $name"; else echo "VESK fail $name: $(head -c 300 /tmp/out)"; fi
}
ask() { printf '%s' "$2" | setpriv --reuid="$1" --regid=1000 --clear-groups socat -t 5 - UNIX-CONNECT:/run/vesk_sec.sock; }
state=$(systemctl is-system-running --wait)
[ "$state" = running ] || systemctl --failed --no-legend
check "system $state" test "$state" = running -o "$state" = degraded
# A vaultd that does not start (masked here) is a warning; the installation goes on.
systemctl mask vaultd
check "installed, a failed start a warning" sh -c 'dpkg -i /vesk/vesk.deb 2>/tmp/dpkg &&
  grep -qx "vesk: warning: vaultd did not start; see why with: systemctl status vaultd" /tmp/dpkg'
systemctl unmask vaultd && systemctl start vaultd
check "vaultd active" systemctl is-active vaultd
check "socket root:1000 0660" test "$(stat -Lc '%U:%g %a' /run/vesk_sec.sock)" = "root:1000 660"
check "PONG for uid 0 and 1000" test "$(ask 0 PING:) $(ask 1000 PING:)" = "PONG PONG"
check "nothing for uid 1001" test -z "$(ask 1001 PING:)"
cd /opt/vesk
printf '[PASSES]\nadmin_pass = "alpha"\nfrp_pass = beta\nsmtp_pass1 = "gamma"\nsmtp_pass2 = delta\nsql_pass = epsilon\n' \
  >installation.toml
echo "tarvemill 1.0" >tarvemill_run
# From a folder without one, keywarden works on the installed configuration.
check "stage 2 from /" sh -c 'cd / && echo 2 | /opt/vesk/keywarden | grep -q "Data Hardened"'
blobs=$(sed -n 's/^[a-z_0-9]* = "\(v2:[^"]*\)"$/\1/p' installation.toml | tr '\n' ' ')
check "UNVAULT for uid 0 and 1000" test "$(for blob in $blobs; do ask 0 "UNVAULT:$blob"; ask 1000 "UNVAULT:$blob"
  echo; done | tr '\n' ' ')" = "alphaalpha betabeta gammagamma deltadelta epsilonepsilon "
check "stage 3 seals" sh -c 'echo 3 | ./keywarden | grep -q "System SEALED" && lsattr keywarden | grep -q "^....i"'
check "vaultcheck.timer enabled and active" sh -c 'systemctl is-enabled vaultcheck.timer && systemctl is-active vaultcheck.timer'
report=/var/lib/prometheus/node-exporter/vesk.prom
check "report written" sh -c "systemctl start vaultcheck.service && grep -q '^vesk_vaultcheck_status [012]$' $report"
echo "VESK report begin" && cat $report && echo "VESK report end"
check "daemon-ping 2 with vaultd stopped" sh -c "systemctl stop vaultd && systemctl start vaultcheck.service &&
  grep -qx 'vesk_vaultcheck_check_status{check=\"daemon-ping\"} 2' $report"
check "upgrade on the sealed device" dpkg -i /vesk/next.deb
check "seal kept" sh -c 'dpkg-query -W -f "\${Version}" vesk | grep -qx 99.0.0 && lsattr keywarden | grep -q "^....i"'
check "purge" dpkg --purge vesk
check "nothing left" sh -c "! ls -d /usr/sbin/vaultd /usr/bin/vaultcheck /opt/vesk/keywarden $report \
  /usr/lib/systemd/system/vault* 2>/dev/null | grep ."
echo "VESK done: $checks checks"
