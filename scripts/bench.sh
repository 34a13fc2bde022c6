#!/usr/bin/env bash
# The benchmark, as a user runs it on a device or here: builds vaultd and
# the bench programs (Release, build/bench) and runs bench/bench.sh, which
# says what it measures. Needs root. Takes bench/bench.sh's --smoke.
#
#   scripts/bench.sh [--smoke]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF >/dev/null
quietly cmake --build build/bench -j"$(nproc)" --target vaultd floor_server load_generator
exec bench/bench.sh "$@" build/bench/daemon/vaultd build/bench/bench/floor_server build/bench/bench/load_generator
