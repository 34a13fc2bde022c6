#!/usr/bin/env bash
# Cross-builds keywarden, vaultd and the unit tests for the appliance
# (AArch64) and runs them under qemu's user-mode emulator:
#
#   1. installs the cross compiler, the arm64 libraries and qemu-user when
#      any is missing (needs root then; quick when all are there);
#   2. builds everything into build/aarch64 with cmake/aarch64-linux-gnu.cmake,
#      and the test tool blob_tool for this machine into build/x86_64;
#   3. runs the unit tests with ctest, each test program under qemu-aarch64;
#   4. smoke-runs keywarden (the menu, left with "q") and vaultd ("PING:" on
#      its socket, in a private mount namespace with a tmpfs over /run);
#   5. checks that both architectures derive the same tier keys and read
#      each other's blobs for the same CPU serial.
#
# Exits non-zero at the first failed step.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly cross_dir=build/aarch64
readonly host_dir=build/x86_64
readonly root=$PWD
started=$SECONDS

step() { printf '\n== %s (%ds)\n' "$*" "$((SECONDS - started))"; }
fail() {
  echo "cross-test: FAILED: $*" >&2
  exit 1
}

# --- 1. packages ------------------------------------------------------------

cross_packages=(
  g++-aarch64-linux-gnu
  libssl-dev:arm64 libgtest-dev:arm64
  # The emulated programs load the C++ runtime through the arm64 multiarch
  # loader; the cross compiler's own copy under /usr/aarch64-linux-gnu
  # would need qemu's -L prefix, under which qemu 7.2 hangs in fork().
  libstdc++6:arm64
  qemu-user
  socat  # the client for the daemon's socket
)

step "packages"
scripts/install-deps.sh
scripts/install-deps.sh --foreign-arch arm64 "${cross_packages[@]}"

# --- 2. builds ----------------------------------------------------------------

# Release, as the packages are built. No -Werror here: GCC 12 at -O2 gives
# false -Wnull-dereference and -Wrestrict warnings inside libstdc++ that the
# -O0 build of the test command does not; the warnings stay visible.
step "cross-build for AArch64 into $cross_dir"
cmake -S . -B "$cross_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=ON
cmake --build "$cross_dir" -j"$(nproc)"

step "blob_tool for this machine into $host_dir"
cmake -S . -B "$host_dir" -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=ON >/dev/null
cmake --build "$host_dir" -j"$(nproc)" --target blob_tool

for program in "$cross_dir/console/keywarden" "$cross_dir/daemon/vaultd"; do
  readelf -h "$program" | grep -q 'Machine: *AArch64' || fail "$program is not an AArch64 executable"
done

# --- 3. unit tests under emulation -----------------------------------------

# Excluded under emulation, each for the same reason: the test starts an
# AArch64 program (vaultd, keywarden) as a child process through the host's
# shell. The kernel runs a foreign executable only through a binfmt_misc
# handler; none is registered for AArch64 on a plain Debian machine without
# qemu-user-binfmt, and registering one is a machine-wide change that a test
# command should not make, so the start ends in "Exec format error". Step 4
# runs both programs under the emulator instead.
#   - Vaultd.*      (daemon_tests): starts vaultd in a private mount namespace;
#   - system_tests: every test runs keywarden and vaultd on a simulated device.
system_suites=$(qemu-aarch64 "$cross_dir/tests/system/system_tests" --gtest_list_tests |
  sed -n 's/^\([^ ][^ ]*\)\.$/\1/p' | paste -sd'|')
[ -n "$system_suites" ] || fail "could not list the system tests"
exclude="^(Vaultd|${system_suites})\\."

step "unit tests under qemu-aarch64 (excluded: $exclude)"
ctest --test-dir "$cross_dir" --output-on-failure --timeout 300 --no-tests=error -E "$exclude"

# --- 4. smoke runs --------------------------------------------------------------

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step "keywarden under qemu-aarch64: the menu, then q"
esc=$'\033'
expected_menu="
${esc}[01;36mVESK TARVEMILL - ADMIN v3.3 ${esc}[01;32m[OPEN]${esc}[00m
1. Stage 1: Provision (Dev Key)
2. Stage 2: Localize (CPU Bound)
3. Stage 3: Seal (Immutable + USB Auth)
4. Edit Configuration (Nano)
5. Enroll USB Master Key
6. Restore Config from USB
   (Use SCP for Updates)
0. Exit (or 'q')
Selection: "
mkdir "$work/installation"
printf '[PASSES]\nadmin_pass = "plain"\n' >"$work/installation/installation.toml"
status=0
(cd "$work/installation" && printf 'q\n' | timeout 30 qemu-aarch64 "$root/$cross_dir/console/keywarden") \
  >"$work/keywarden.out" || status=$?
[ "$status" -eq 0 ] || fail "keywarden exited with status $status"
printf '%s' "$expected_menu" | cmp -s - "$work/keywarden.out" ||
  fail "keywarden's menu differs from the expected one: $(od -c "$work/keywarden.out" | head -20)"
echo "keywarden drew the open menu once and exited 0 on q"

# A device with a known CPU serial (an arm64 cpuinfo) and a USB drive, and a
# second device that differs only in its CPU serial.
make_device() {
  local dir=$1 serial=$2
  mkdir -p "$dir/sys/block/sda/device"
  printf 'processor\t: 0\nBogoMIPS\t: 108.00\nFeatures\t: fp asimd evtstrm crc32 cpuid\nCPU implementer\t: 0x41\nCPU architecture: 8\n\nHardware\t: BCM2835\nRevision\t: d03114\nSerial\t\t: %s\nModel\t\t: appliance\n' \
    "$serial" >"$dir/cpuinfo"
  printf 'USB-4C530001\n' >"$dir/sys/block/sda/device/serial"
}
make_device "$work/device" 10000000c0ffee01
make_device "$work/other" 10000000c0ffee02

host_tool=("$host_dir/tests/tools/blob_tool")
arm_tool=(qemu-aarch64 "$cross_dir/tests/tools/blob_tool")
device=("$work/device/cpuinfo" "$work/device/sys/block/")
other=("$work/other/cpuinfo" "$work/other/sys/block/")

# Runs in a private mount namespace: a fresh tmpfs over /run (so the fixed
# socket path disturbs nothing), the device's cpuinfo over /proc/cpuinfo.
# Leaves what it saw in files of $out for the checks below.
vaultd_in_namespace() {
  local vaultd=$1 cpuinfo=$2 out=$3 pid
  mount -t tmpfs -o mode=755 tmpfs /run
  mount --bind "$cpuinfo" /proc/cpuinfo
  qemu-aarch64 "$vaultd" >"$out/stdout" 2>"$out/stderr" &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    [ -s "$out/stdout" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  stat -c '%a %F' /var/run/vesk_sec.sock >"$out/socket" 2>&1 || true
  local ask=(timeout 10 socat -t 5 - UNIX-CONNECT:/var/run/vesk_sec.sock)
  printf 'PING:' | "${ask[@]}" >"$out/ping" || true
  printf 'UNVAULT:%s' "$(cat "$out/blob1")" | "${ask[@]}" >"$out/unvault1" || true
  printf 'UNVAULT:%s' "$(cat "$out/blob2")" | "${ask[@]}" >"$out/unvault2" || true
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  echo "$status" >"$out/status"
  trap - EXIT
}

step "vaultd under qemu-aarch64 in a private mount namespace"
mkdir "$work/vaultd"
# Blobs made on this machine (x86-64) for the device: tier 1 needs only the
# base key, tier 2 also the CPU serial that the daemon reads from the
# bind-mounted cpuinfo.
printf 'db-pass-1' | "${host_tool[@]}" vault 1 "${device[@]}" >"$work/vaultd/blob1"
printf 'db-pass-2' | "${host_tool[@]}" vault 2 "${device[@]}" >"$work/vaultd/blob2"
unshare --mount --propagation private -- bash -c "$(declare -f vaultd_in_namespace); vaultd_in_namespace \"\$@\"" \
  _ "$root/$cross_dir/daemon/vaultd" "$work/device/cpuinfo" "$work/vaultd"
v=$work/vaultd
[ "$(cat "$v/stdout")" = "[+] VESK Security Daemon Listening on /var/run/vesk_sec.sock" ] ||
  fail "vaultd's start-up line: '$(cat "$v/stdout")' (stderr: '$(cat "$v/stderr")')"
[ "$(cat "$v/socket")" = "660 socket" ] || fail "socket: $(cat "$v/socket")"
[ "$(cat "$v/ping")" = "PONG" ] || fail "PING: got '$(cat "$v/ping")'"
[ "$(cat "$v/unvault1")" = "db-pass-1" ] || fail "tier-1 UNVAULT: got '$(cat "$v/unvault1")'"
[ "$(cat "$v/unvault2")" = "db-pass-2" ] || fail "tier-2 UNVAULT: got '$(cat "$v/unvault2")'"
[ "$(cat "$v/status")" = "0" ] || fail "vaultd's exit status after SIGTERM: $(cat "$v/status")"
[ ! -s "$v/stderr" ] || fail "vaultd wrote to stderr: $(cat "$v/stderr")"
echo "vaultd listened (socket mode 660), answered PONG, unvaulted x86-64 blobs of tiers 1 and 2, exited 0 on SIGTERM"

# --- 5. the same keys and blobs on both architectures ------------------------

step "tier keys and blobs across x86-64 and AArch64"
for tier in 1 2 3; do
  host_key=$("${host_tool[@]}" key "$tier" "${device[@]}")
  arm_key=$("${arm_tool[@]}" key "$tier" "${device[@]}")
  [[ "$host_key" =~ ^[0-9a-f]{64}$ ]] || fail "tier $tier key on x86-64: '$host_key'"
  [ "$host_key" = "$arm_key" ] || fail "tier $tier keys differ: x86-64 $host_key, AArch64 $arm_key"
  other_key=$("${arm_tool[@]}" key "$tier" "${other[@]}")
  if [ "$tier" -eq 1 ]; then
    [ "$other_key" = "$arm_key" ] || fail "the tier-1 key depends on the CPU serial"
  else
    [ "$other_key" != "$arm_key" ] || fail "the tier-$tier key ignores the CPU serial"
  fi
done

values=(
  ""
  "x"
  "fifteen-bytes.."
  "sixteen-bytes..."
  "seventeen-bytes.."
  "pässwörd ✓ with spaces, = + / _ - and \"quotes\""
  $'line one\nline two\n'
  "$(head -c 600 /dev/zero | tr '\0' 'k')"
)
checked=0
for tier in 1 2 3; do
  for index in "${!values[@]}"; do
    printf '%s' "${values[$index]}" >"$work/value"
    # x86-64 -> AArch64
    "${host_tool[@]}" vault "$tier" "${device[@]}" <"$work/value" >"$work/blob"
    [[ "$(cat "$work/blob")" == v$tier:* ]] || fail "blob prefix: $(cat "$work/blob")"
    "${arm_tool[@]}" unvault "$tier" "${device[@]}" <"$work/blob" >"$work/back" ||
      fail "AArch64 could not unvault the x86-64 blob of value $index at tier $tier"
    cmp -s "$work/value" "$work/back" || fail "x86-64 -> AArch64: value $index, tier $tier differs"
    # The same blob on a device with another CPU serial must not open
    # (tier 1 is the development key, the same on every device).
    if [ "$tier" -ne 1 ] &&
      "${arm_tool[@]}" unvault "$tier" "${other[@]}" <"$work/blob" >"$work/back" 2>/dev/null &&
      cmp -s "$work/value" "$work/back"; then
      fail "a tier-$tier blob opened on a device with another CPU serial"
    fi
    # AArch64 -> x86-64
    "${arm_tool[@]}" vault "$tier" "${device[@]}" <"$work/value" >"$work/blob"
    "${host_tool[@]}" unvault "$tier" "${device[@]}" <"$work/blob" >"$work/back" ||
      fail "x86-64 could not unvault the AArch64 blob of value $index at tier $tier"
    cmp -s "$work/value" "$work/back" || fail "AArch64 -> x86-64: value $index, tier $tier differs"
    checked=$((checked + 1))
  done
done
echo "same tier keys for tiers 1-3; $checked values x 2 directions read back; tier 2/3 blobs refused on another CPU serial"

step "cross-test passed"
