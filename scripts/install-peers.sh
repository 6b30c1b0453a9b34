#!/usr/bin/env bash
# Installs the peers that the side-by-side comparisons run beside tamrix
# (numpy, scipy, OpenCV, astropy, SEP, photutils, ccdproc, astroalign, Siril)
# and the packages whose test data are the real frames those comparisons use
# (astropy's, photutils', ccdproc's and gammapy's test files, IRAF's sample
# images). Not needed to build or test.
set -euo pipefail
packages=(
  python3-numpy python3-scipy python3-opencv python3-astropy python3-sep
  python3-photutils python3-ccdproc python3-astroalign python3-astroscrappy siril
  python3-gammapy python3-reproject iraf iraf-noao wcslib-tools
)

exec "$(dirname "$0")/apt-install.sh" "${packages[@]}"
