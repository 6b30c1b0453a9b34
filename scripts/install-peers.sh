#!/usr/bin/env bash
# Installs the peer libraries that the side-by-side benchmark comparisons run
# beside tamrix (numpy, scipy, OpenCV, SEP). Not needed to build or test.
set -euo pipefail
packages=(python3-numpy python3-scipy python3-opencv python3-astropy python3-sep)
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
