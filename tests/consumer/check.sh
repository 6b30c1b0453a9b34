#!/bin/sh
# Builds and runs the consumer program against an installed tamrix.
#
#   check.sh stage        BUILD SCRATCH   cmake --install BUILD into SCRATCH/stage
#   check.sh find-package SRC SCRATCH PREFIX   consumer built with find_package
#   check.sh pkg-config   SRC SCRATCH PREFIX   consumer built with pkg-config
#   check.sh deb          BUILD SCRATCH SRC    the Debian package made by CPack,
#        unpacked with dpkg -x into SCRATCH/root: its contents, then the
#        consumer both ways, the Python module and the program from there.
set -eu
mode=$1
case "$mode" in
stage)
  rm -rf "$3/stage"
  cmake --install "$2" --prefix "$3/stage" >/dev/null
  ;;
find-package)
  src=$2 out=$3/find-package prefix=$4
  rm -rf "$out"
  cmake -S "$src" -B "$out" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$out" >/dev/null
  "$out/consumer" "$(cat "$out/stars_net_path.txt")"
  ;;
pkg-config)
  src=$2 out=$3/pkg-config prefix=$4
  rm -rf "$out" && mkdir -p "$out"
  PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name tamrix.pc | head -n 1)")
  export PKG_CONFIG_PATH
  libdir=$(pkg-config --variable=libdir tamrix)
  # shellcheck disable=SC2046 # the flags are words
  c++ -std=c++17 -o "$out/consumer" "$src/consumer.cpp" $(pkg-config --cflags --libs tamrix) -Wl,-rpath,"$libdir"
  "$out/consumer" "$(pkg-config --variable=datadir tamrix)/stars.net"
  ;;
deb)
  build=$2 out=$3/deb src=$4
  rm -rf "$out"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out/package" >/dev/null
  deb=$(ls "$out"/package/tamrix_*.deb)
  dpkg-deb -c "$deb" | awk '{print $6}' > "$out/contents.txt"
  missing=0
  for f in ./usr/lib/libtamrix.so ./usr/include/tamrix/tamrix.h ./usr/include/tamrix/nnet.h \
      ./usr/include/tamrix/tamrix_version.h ./usr/lib/cmake/tamrix/tamrixConfig.cmake \
      ./usr/lib/pkgconfig/tamrix.pc ./usr/share/tamrix/stars.net ./usr/share/doc/tamrix/README.md \
      ./usr/share/doc/tamrix/LICENSE; do
    grep -qx "$f" "$out/contents.txt" || { echo "$deb lacks $f"; missing=1; }
  done
  if [ -e "$build/cli/tamrix" ]; then
    grep -qx ./usr/bin/tamrix "$out/contents.txt" || { echo "$deb lacks ./usr/bin/tamrix"; missing=1; }
  fi
  python=$(grep -m1 'dist-packages/tamrix\..*\.so$' "$out/contents.txt" || true)
  if [ -n "$(find "$build/python" -maxdepth 1 -name 'tamrix.*.so' 2>/dev/null)" ] && [ -z "$python" ]; then
    echo "$deb lacks the Python module"; missing=1
  fi
  [ $missing -eq 0 ]
  dpkg -x "$deb" "$out/root"
  "$0" find-package "$src" "$out" "$out/root/usr"
  "$0" pkg-config "$src" "$out" "$out/root/usr"
  version=$(sed -n 's/^Version: //p' "$out/root/usr/lib/pkgconfig/tamrix.pc")
  if [ -n "$python" ]; then
    PYTHONPATH="$out/root/$(dirname "$python")" "${PYTHON:-python3}" -c "
import sys, tamrix
assert tamrix.__file__.startswith('$out/root/'), tamrix.__file__
assert tamrix.__version__ == '$version', tamrix.__version__
print('python module', tamrix.__version__, 'ok')"
  fi
  if [ -e "$out/root/usr/bin/tamrix" ]; then
    "$out/root/usr/bin/tamrix" --version | grep -q "$version"
    echo "program ok"
  fi
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
