#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is
# missing. Needs root for apt-get; as another user it only reports.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libssl-dev openssl
  libgtest-dev
  e2fsprogs util-linux mount coreutils tar gzip
  socat
  clang libclang-rt-14-dev clang-tidy cppcheck valgrind
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
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
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
