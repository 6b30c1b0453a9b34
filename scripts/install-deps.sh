#!/usr/bin/env bash
# Installs what building and testing tamrix needs on Debian 12, when missing.
# Run as root (CI does); as another user it only reports what is missing.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  dpkg-dev # make package: CPack's dependency list (dpkg-shlibdeps)
  libgtest-dev libgmock-dev libbenchmark-dev
  libcfitsio-dev libcli11-dev libpng-dev wcslib-dev
  python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest
  python3-dask python3-distributed
  python3-setuptools python3-wheel python3-venv python3-pip # pip install . (the test in a virtual environment)
  zlib1g-dev dataset-fashion-mnist # the README's training example, which its test runs
  # make tsan and make fuzz: clang with its sanitizer runtimes and libFuzzer,
  # and LLVM's OpenMP runtime with its race-detection tool
  clang-14 libclang-rt-14-dev libomp-14-dev
)

exec "$(dirname "$0")/apt-install.sh" "${packages[@]}"
