#!/usr/bin/env bash
# Installs Debian packages when any is missing: by default those the build
# and the tests need (the compilers, OpenSSL, GoogleTest, Python, chattr,
# the mount tools, socat and strace, clang-tidy, cppcheck, clang-format,
# black and promtool), or the ones
# named on the command line. Says in one line what it installs; apt's own
# output is shown only when it fails.
#
#   scripts/install-deps.sh [--foreign-arch ARCH] [PACKAGE...]
#
# --foreign-arch adds ARCH to dpkg's architectures first (for PACKAGE:ARCH).
# Needs root for apt-get; as another user it only reports.
set -euo pipefail

foreign_arch=
if [ "${1:-}" = --foreign-arch ]; then
  foreign_arch=$2
  shift 2
fi

packages=(
  build-essential cmake pkg-config libssl-dev openssl libgtest-dev
  python3 e2fsprogs util-linux mount coreutils tar gzip socat strace
  clang-tidy clang-format cppcheck black prometheus
)
if [ $# -gt 0 ]; then
  packages=("$@")
fi

missing=()
for package in "${packages[@]}"; do
  # One status line per installed architecture of the package.
  if [ "$(dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -cx 'install ok installed')" -eq 0 ]; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

echo "installing: ${missing[*]}"
. "$(dirname "$0")/common.sh"
if [ -n "$foreign_arch" ] && ! dpkg --print-foreign-architectures | grep -qx "$foreign_arch"; then
  dpkg --add-architecture "$foreign_arch"
fi
export DEBIAN_FRONTEND=noninteractive
quietly apt-get update
quietly apt-get install -y --no-install-recommends "${missing[@]}"
