#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan, and runs each one:
# first once over its seed corpus in fuzz/corpus/, then for a bounded time
# (VESK_FUZZ_SECONDS, 45 s by default) on a scratch copy of that corpus.
# Any crash, leak, sanitizer report or broken property fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${VESK_FUZZ_SECONDS:-45}
build=build/fuzz
targets=(blob hardware_files policy remote_update_flag request)

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVESK_FUZZ=ON -DVESK_BUILD_TESTS=OFF -DVESK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target $(printf '%s_fuzzer ' "${targets[@]}")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/artifacts"

for target in "${targets[@]}"; do
  fuzzer="$build/fuzz/${target}_fuzzer"
  seeds="fuzz/corpus/$target"
  echo "== $target: seed corpus"
  "$fuzzer" -runs=0 "$seeds" 2>&1 | tail -n 2
  echo "== $target: ${seconds} s"
  mkdir -p "$scratch/$target"
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$target-" "$scratch/$target" "$seeds" \
    > "$scratch/$target.log" 2>&1 || { tail -n 40 "$scratch/$target.log"; exit 1; }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$target.log")
  corpus=$(ls "$scratch/$target" | wc -l)
  echo "   $runs inputs, $corpus new corpus entries, no findings"
done
