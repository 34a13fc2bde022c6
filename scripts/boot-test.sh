#!/usr/bin/env bash
# The arm64 package on a booted arm64 Debian under systemd, through
# scripts/arm64-vm.sh (scripts/appliance-test.sh builds the package): the
# checks of the guest script below print "VESK ok NAME" or "VESK fail NAME:
# why" each; the report vaultcheck's unit wrote goes through the host's
# promtool. Last, a power cut ("echo b >/proc/sysrq-trigger") after six
# operations, each on an ext4 disk of its own: each state the guest saw
# reported must be there once e2fsck has replayed the disk's journal, as a
# reboot would. Fails on any miss, and says why when the machine cannot run it.
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
# The power cut's disks, labelled by name: an empty /opt/vesk to upgrade
# on, and an installation folder each for the other operations.
mkdir -p "$work/base" "$work/app" "$work/upgrade"
printf '[PASSES]\nadmin_pass = "alpha"\nfrp_pass = beta\nsql_pass = epsilon\n' >"$work/base/installation.toml"
echo "tarvemill 1.0" >"$work/base/tarvemill_run" && echo "tarvemill 2.0" >"$work/app/tarvemill_run"
touch "$work/base/keywarden"
for name in stage2 seal update restore report; do cp -a "$work/base" "$work/$name"; done
echo "allow_remote_updates = true" >>"$work/update/installation.toml"
echo "admin_pass = restored" >"$work/restore/usb.toml"
tar -czf "$work/update/update.tar.gz" -C "$work/app" tarvemill_run
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/key"
openssl pkey -in "$work/key" -pubout -out "$work/update/public_key.pem"
openssl dgst -sha256 -sign "$work/key" -out "$work/update/update.tar.gz.sig" "$work/update/update.tar.gz"
disks=()
for name in upgrade stage2 seal update restore report; do
  quietly mke2fs -t ext4 -L $name -d "$work/$name" "$work/$name.img" 16M && disks+=(--disk "$work/$name.img")
done
sed -n '/^# --- guest script ---$/,$p' "$0" >"$work/guest.sh"
scripts/arm64-vm.sh "${disks[@]}" "$work/guest.sh" "$work/vesk.deb" "$work/next.deb" >"$work/console" || true
grep '^VESK ' "$work/console" || { tail -40 "$work/console"; exit 1; }
sed -n '/^VESK report begin$/,/^VESK report end$/p' "$work/console" | sed '1d;$d' | promtool check metrics

# After the cut: what the next boot finds on each disk, once its journal is replayed.
for image in "$work"/*.img; do
  e2fsck -fy "$image" >"$work/fsck" 2>&1 || [ $? -lt 4 ] || { cat "$work/fsck"; exit 1; }
done
content() { debugfs -R "cat /$2" "$work/$1.img" 2>/dev/null; }
attrs() { # NAME FILE: FILE's mode and whether it is immutable (flag 0x10)
  debugfs -R "stat /$2" "$work/$1.img" 2>/dev/null |
    sed -n 's/.*Mode: *\([0-7]*\) *Flags: 0x.*[13579bdf].$/\1 immutable/p; s/.*Mode: *\([0-7]*\) .*/\1 mutable/p'
}
after_cut() { # NAME CHECK FOUND WANTED: one result line, when the guest saw NAME's operation succeed
  grep -qx "VESK saw $1" "$work/console" || { echo "VESK fail $2: no success seen"; return; }
  [ "$3" = "$4" ] && echo "VESK ok $2" || echo "VESK fail $2: found '${3//$'\n'/|}', not '${4//$'\n'/|}'"
}
{
  after_cut upgrade "cut: the upgraded keywarden sealed" "$(attrs upgrade keywarden)" "0755 immutable"
  after_cut stage2 "cut: stage 2's blobs" "$(content stage2 installation.toml | grep -c '^[a-z_]* = "v2:[^"]*"$')" 3
  seal="$(attrs seal installation.toml), $(attrs seal keywarden), $(attrs seal tarvemill_run)"
  after_cut seal "cut: stage 3's seal" "$seal" "0444 immutable, 0644 immutable, 0644 immutable"
  after_cut update "cut: the update, sealed" "$(content update tarvemill_run), $(attrs update tarvemill_run)" "tarvemill 2.0, 0644 immutable"
  after_cut restore "cut: the restored configuration" "$(content restore installation.toml)" "$(cat "$work/restore/usb.toml")"
  report=$(content report report.prom | tail -1 | sed 's/ [0-9][0-9]*$/ N/')
  after_cut report "cut: vaultcheck's whole report" "$report" "vesk_vaultcheck_last_run_timestamp_seconds N"
} | tee -a "$work/console"
! grep -q '^VESK fail' "$work/console" && grep -qx 'VESK done: 18 checks' "$work/console"
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
check "vaultcheck: sealed, vaultd opens the five" sh -c 'vaultcheck >/tmp/vc; grep -q "^ok    seal " /tmp/vc &&
  test "$(grep -c "tier-2 blob, vaultd opens it" /tmp/vc)" = 5'
check "vaultcheck.timer enabled and active" sh -c 'systemctl is-enabled vaultcheck.timer && systemctl is-active vaultcheck.timer'
report=/var/lib/prometheus/node-exporter/vesk.prom
check "report written" sh -c "systemctl start vaultcheck.service && grep -q '^vesk_vaultcheck_status [012]$' $report"
echo "VESK report begin" && cat $report && echo "VESK report end"
check "daemon-ping 2 with vaultd stopped" sh -c "systemctl stop vaultd && systemctl start vaultcheck.service &&
  grep -qx 'vesk_vaultcheck_check_status{check=\"daemon-ping\"} 2' $report"
check "upgrade on the sealed device" dpkg -i /vesk/next.deb
check "seal kept" sh -c 'dpkg-query -W -f "\${Version}" vesk | grep -qx 99.0.0 && lsattr keywarden | grep -q "^....i"'
check "purge" dpkg --purge vesk
check "purge removes the report" test ! -e $report
check "nothing left" sh -c "! ls -d /usr/sbin/vaultd /usr/bin/vaultcheck /opt/vesk/keywarden \
  /usr/lib/systemd/system/vault* 2>/dev/null | grep ."
echo "VESK done: $checks checks"

# The power cut. A disk's journal commits every 600 s, and no dirty page is
# written back on its own: only what an operation syncs stays. Nothing here
# calls sync(), which would write every disk (dpkg fsyncs its own files).
echo 0 >/proc/sys/vm/dirty_writeback_centisecs && echo 360000 >/proc/sys/vm/dirty_expire_centisecs
mkdir -p /cut && ln -s /opt/vesk /cut/upgrade
for name in upgrade stage2 seal update restore report; do mkdir -p /cut/$name && mount -o commit=600 LABEL=$name /cut/$name; done
# A USB drive with a configuration, as keywarden's restore looks for one.
mount -t tmpfs tmpfs /sys/block && mkdir -p /sys/block/sda/device /mnt/usb && echo USB-4C530001 >/sys/block/sda/device/serial
cp /cut/restore/usb.toml /mnt/usb/installation.toml
saw() { # NAME SUCCESS COMMAND...: "VESK saw NAME" when COMMAND, run in /cut/NAME, ends well and says SUCCESS
  name=$1 success=$2 && shift 2
  (cd /cut/$name && "$@") >/tmp/out 2>&1 && grep -q "$success" /tmp/out && echo "VESK saw $name" ||
    echo "VESK missed $name: $(tail -c 300 /tmp/out)"
}
saw upgrade "Setting up vesk (99.0.0)" sh -c 'dpkg -i /vesk/vesk.deb && chattr +i keywarden && dpkg -i /vesk/next.deb'
saw stage2 "Data Hardened" sh -c 'echo 2 | /opt/vesk/keywarden'
saw seal "System SEALED" sh -c 'echo 3 | /opt/vesk/keywarden'
saw update "Update Successful" sh -c 'printf "3\n7\nupdate.tar.gz\nupdate.tar.gz.sig\n" | /opt/vesk/keywarden'
saw restore "Restore Successful" sh -c 'echo 6 | /opt/vesk/keywarden'
saw report "^status [012]$" sh -c 'vaultcheck --no-daemon --prometheus --output report.prom; echo "status $?"'
# Setting the console's settings again waits until all written is sent.
stty -F /dev/ttyAMA0 "$(stty -F /dev/ttyAMA0 -g)"
echo b >/proc/sysrq-trigger
