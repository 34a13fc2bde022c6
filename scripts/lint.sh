#!/usr/bin/env bash
# Static analysis and formatting: clang-tidy with the checks chosen in
# .clang-tidy and cppcheck on the product code; every C++ file as
# clang-format writes it (.clang-format) and every Python file as black
# -l 100 writes it. Any finding fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
cmake -S . -B build/lint -DVESK_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
sources=(security/*.cc config/*.cc machine/*.cc console/*.cc daemon/*.cc vaultcheck/*.cc)
echo "clang-tidy and cppcheck on ${#sources[@]} files"
printf '%s\n' "${sources[@]}" | xargs -P"$(nproc)" -n1 clang-tidy -p build/lint --quiet 2>&1 |
  (! grep -E 'warning:|error:')
cppcheck --project=build/lint/compile_commands.json --std=c++20 --enable=warning,style,performance,portability \
  --inline-suppr --suppress=missingIncludeSystem --error-exitcode=1 -q
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror
git ls-files '*.py' | xargs black --check -q -l 100
