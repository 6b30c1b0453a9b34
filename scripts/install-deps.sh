#!/usr/bin/env bash
# Installs what building and testing tamrix needs on Debian 12, when missing.
# Run as root (CI does); as another user it only reports what is missing.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcfitsio-dev libcli11-dev libpng-dev
  zlib1g-dev dataset-fashion-mnist # the data-set loader's test on real files
)
# make fuzz: clang with libFuzzer and its sanitizer runtimes, and clang's OpenMP.
if [ "${1:-}" = fuzz ]; then
  packages+=(clang-14 libclang-rt-14-dev libomp-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]} (run this script as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
