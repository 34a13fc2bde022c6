#!/usr/bin/env bash
# Builds the libFuzzer target (clang, ASan + UBSan) into build/fuzz and runs
# it over its seeds, then for VESK_FUZZ_SECONDS (20 by default) on both
# cores. A crash, a sanitizer report or a broken property fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_FUZZ=ON \
  -DVESK_BUILD_TESTS=OFF -DVESK_WERROR=ON -DVESK_FUZZ_SECONDS="${VESK_FUZZ_SECONDS:-20}" >/dev/null
quietly cmake --build build/fuzz -j"$(nproc)" --target inputs_fuzzer
ctest --test-dir build/fuzz --output-on-failure
