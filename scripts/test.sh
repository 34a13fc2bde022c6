#!/usr/bin/env bash
# The test command (CI runs it through .ci/run). Installs what is missing
# (see scripts/install-deps.sh and scripts/appliance-test.sh), then:
#   1. builds with warnings as errors and ASan + UBSan, runs every unit and
#      system test with ctest;
#   2. static analysis and formatting;  3. the AArch64 build and the
#   packages;  4. the arm64 package on a booted arm64 Debian
#   (scripts/boot-test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
started=$SECONDS
step() { printf '\n== %s (%d s)\n' "$1" $((SECONDS - started)); }

scripts/install-deps.sh
step "unit and system tests, ASan + UBSan"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DVESK_WERROR=ON -DVESK_SANITIZE=ON >/dev/null
quietly cmake --build build/test -j"$(nproc)"
ctest --test-dir build/test -j"$(nproc)" --output-on-failure
step "static analysis and formatting"
scripts/lint.sh
step "AArch64 and packages"
scripts/appliance-test.sh
step "the arm64 package on a booted arm64 system"
scripts/boot-test.sh
step "all passed"
