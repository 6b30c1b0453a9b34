#!/usr/bin/env bash
# Installs the peer libraries that the side-by-side benchmark comparisons run
# beside tamrix (numpy, scipy, OpenCV, SEP). Not needed to build or test.
set -euo pipefail
packages=(python3-numpy python3-scipy python3-opencv python3-astropy python3-sep)

exec "$(dirname "$0")/apt-install.sh" "${packages[@]}"
