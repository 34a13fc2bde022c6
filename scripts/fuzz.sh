#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) into build/fuzz and runs
# each over its seeds, then for VESK_FUZZ_SECONDS (20 by default). A crash,
# a sanitizer report or a broken property fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_FUZZ=ON \
  -DVESK_BUILD_TESTS=OFF -DVESK_WERROR=ON -DVESK_FUZZ_SECONDS="${VESK_FUZZ_SECONDS:-20}" >/dev/null
quietly cmake --build build/fuzz -j"$(nproc)" --target policy_fuzzer request_fuzzer
ctest --test-dir build/fuzz -j"$(nproc)" --output-on-failure
