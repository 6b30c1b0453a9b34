#!/usr/bin/env bash
# Installs the Windows cross toolchain (MinGW-w64, POSIX threads, with libgomp)
# and Wine to run the cross-built tests, when missing. Run as root.
set -euo pipefail
packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 googletest)

exec "$(dirname "$0")/apt-install.sh" "${packages[@]}"
