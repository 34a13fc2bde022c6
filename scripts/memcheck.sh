#!/usr/bin/env bash
# The daemon's socket tests once more under valgrind memcheck, on a build
# without sanitizers, following the daemon into its forked children and the
# real vaultd: any memory error or definite leak fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/memcheck
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVESK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target daemon_tests vaultd >/dev/null

# Valgrind keeps a descriptor limit of its own that a prlimit from outside
# does not lower, so the test that starves the daemon of descriptors cannot
# run under it; it runs under the sanitizers instead.
valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --trace-children=yes --trace-children-skip='/usr/*,/bin/*,/sbin/*' --vgdb=no -q \
  "$build/tests/daemon/daemon_tests" --gtest_brief=1 \
  --gtest_filter=-Daemon.AcceptWithoutDescriptorsPausesAndRecovers
echo "memcheck: no errors, no leaks"
