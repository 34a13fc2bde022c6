#!/usr/bin/env bash
# The project's test command: installs what is missing, builds everything
# with warnings as errors and with ASan + UBSan, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build_dir=build/test
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DVESK_WERROR=ON -DVESK_SANITIZE=ON
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --timeout 300

# The daemon's socket tests under valgrind, static analysis, and every fuzz
# target over its seeds, then for a bounded time.
scripts/memcheck.sh
scripts/lint.sh
scripts/fuzz.sh
scripts/cross-test.sh
scripts/package-test.sh
