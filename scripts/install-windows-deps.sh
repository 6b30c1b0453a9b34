#!/usr/bin/env bash
# Installs the Windows cross toolchain (MinGW-w64, POSIX threads, with libgomp)
# and Wine to run the cross-built tests, when missing. Run as root.
set -euo pipefail
packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 googletest)
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
