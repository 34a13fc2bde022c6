#!/usr/bin/env bash
# vaultd against two floors: the call floor (a server that makes only the
# calls the protocol demands, no crypto) and the crypto floor (those calls
# and the least crypto the contract requires: find the serial, one SHA-256,
# Base64url, one AES-256-CBC decryption with a cipher fetched once and a
# reused context). PING and UNVAULT at 1 and 4 concurrent clients, the
# three servers in turning slices of each measurement (a machine that
# drifts weighs on all alike), ROUNDS times; then `openssl enc -d`, one
# process per secret, as a process-per-secret tool would. The servers run on
# CPU 0 and the load on CPU 1 (when there are two). Everything happens in a
# private mount namespace with a fake /proc/cpuinfo and a tmpfs on /run, so
# nothing of the host changes. Needs root. Prints a Markdown table: the
# median of the rounds for each figure, and the ratios to both floors (the
# median of each round's ratio).
#
#   bench/bench.sh [--smoke] VAULTD FLOOR_SERVER LOAD_GENERATOR
#
# VESK_BENCH_REQUESTS (default 20000) requests per server and measurement,
# in 20 slices; VESK_BENCH_ROUNDS (default 3) rounds. --smoke: 200
# requests, 1 round, 3 openssl runs, to check that every reply is right. A
# wrong reply fails it.
set -euo pipefail
if [ "${VESK_BENCH_IN_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench: skipped: needs root (a private mount namespace)" >&2
    [ "${CI:-}" = true ] && exit 1 || exit 77
  fi
  VESK_BENCH_IN_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

smoke=0
if [ "${1:-}" = --smoke ]; then smoke=1; shift; fi
if [ $# -ne 3 ]; then
  echo "usage: bench/bench.sh [--smoke] VAULTD FLOOR_SERVER LOAD_GENERATOR" >&2
  exit 2
fi
vaultd=$1 floor=$2 load=$3
requests=${VESK_BENCH_REQUESTS:-20000} rounds=${VESK_BENCH_ROUNDS:-3} slices=20 openssl_runs=300
if [ $smoke = 1 ]; then requests=200 rounds=1 slices=2 openssl_runs=3; fi
server_cpu=() load_cpu=()
if [ "$(nproc)" -ge 2 ]; then server_cpu=(taskset -c 0) load_cpu=(taskset -c 1); fi

model=$(lscpu | awk -F': +' '/^Model name/ { print $2; exit }')
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait; rm -rf "$work"' EXIT
serial=00000000b3c4a001 secret=bench-Pa55word
printf 'processor\t: 0\nHardware\t: BCM2835\nSerial\t\t: %s\nModel\t\t: Bench\n' "$serial" >"$work/cpuinfo"
mount --bind "$work/cpuinfo" /proc/cpuinfo
mount -t tmpfs bench /run

# A tier-2 blob of the secret on this "device", made the way any tool could:
# key SHA-256(base key || CPU serial), blob "v2:" + Base64url(IV || AES-256-CBC).
key=$(printf 'ZEPHYR_KEY%s' "$serial" | sha256sum | cut -c1-64)
openssl rand -out "$work/iv" 16
iv=$(od -An -tx1 "$work/iv" | tr -d ' \n')
printf '%s' "$secret" | openssl enc -aes-256-cbc -K "$key" -iv "$iv" -out "$work/ciphertext"
blob=v2:$(cat "$work/iv" "$work/ciphertext" | base64 -w0 | tr '+/' '-_')

"${server_cpu[@]}" "$vaultd" >"$work/vaultd.out" 2>&1 &
"${server_cpu[@]}" "$floor" /run/floor.sock /proc/cpuinfo "$secret" >"$work/floor.out" 2>&1 &
"${server_cpu[@]}" "$floor" /run/crypto.sock /proc/cpuinfo "$secret" ZEPHYR_KEY >"$work/crypto.out" 2>&1 &
for _ in $(seq 200); do
  grep -q Listening "$work/vaultd.out" && grep -q listening "$work/floor.out" && grep -q listening "$work/crypto.out" &&
    break
  sleep 0.05
done

# measure VERB CONCURRENCY COUNT SLICES: a line "<req/s> <p50> <p99>" for the floor,
# then one for the crypto floor and one for vaultd, measured in turning slices;
# every reply checked.
measure() {
  local request=PING: expected=PONG
  if [ "$1" = UNVAULT ]; then request="UNVAULT:$blob" expected=$secret; fi
  "${load_cpu[@]}" "$load" "$3" "$2" "$4" /run/floor.sock "$request" "$expected" \
    /run/crypto.sock "$request" "$expected" /var/run/vesk_sec.sock "$request" "$expected"
}
measure UNVAULT 1 400 2 >/dev/null  # warm up
for round in $(seq "$rounds"); do
  for c in 1 4; do
    for verb in PING UNVAULT; do
      measure $verb $c "$requests" "$slices" | paste -d' ' <(printf '%s\n' floor crypto vaultd) - |
        sed "s/ / $verb $c $round /" >>"$work/results"
    done
  done
done

# The openssl way: one process per secret, its output checked too.
start=$(date +%s%N)
for _ in $(seq "$openssl_runs"); do
  plain=$("${server_cpu[@]}" openssl enc -d -aes-256-cbc -K "$key" -iv "$iv" -in "$work/ciphertext")
  if [ "$plain" != "$secret" ]; then echo "bench: openssl enc -d gave another value" >&2; exit 1; fi
done
openssl_rate=$(awk -v n="$openssl_runs" -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.0f", n / (ns / 1e9) }')

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
column() { awk -v s="$1" -v v="$2" -v c="$3" -v f="$4" '$1 == s && $2 == v && $3 == c { print $f }' "$work/results"; }
echo "$(nproc) CPUs ($model), Linux $(uname -r), $requests requests per measurement, median of $rounds round(s)"
echo
# ratio SERVER FLOOR VERB CLIENTS: the median of each round's ratio of their rates.
ratio() { paste <(column "$1" "$3" "$4" 5) <(column "$2" "$3" "$4" 5) | awk '{ printf "%.3f\n", $1 / $2 }' | median; }
echo "| Server | Request | Clients | req/s | p50 µs | p99 µs | × floor | × crypto floor |"
echo "|---|---|---|---|---|---|---|---|"
for c in 1 4; do
  for verb in PING UNVAULT; do
    for server in floor crypto vaultd; do
      printf '| %s | %s | %s | %s | %s | %s | %.2f | %.2f |\n' "${server/crypto/crypto floor}" $verb $c \
        "$(column $server $verb $c 5 | median)" "$(column $server $verb $c 6 | median)" \
        "$(column $server $verb $c 7 | median)" "$(ratio $server floor $verb $c)" "$(ratio $server crypto $verb $c)"
    done
  done
done
vaultd_rate=$(column vaultd UNVAULT 1 5 | median)
echo
echo "openssl enc -d, one process per secret: $openssl_rate secrets/s; vaultd (UNVAULT, 1 client) answers" \
  "$(awk -v a="$vaultd_rate" -v b="$openssl_rate" 'BEGIN { printf "%.0f", a / b }') times as many."
